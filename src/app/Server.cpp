#include "app/Server.h"

#include "app/OperatorLog.h"
#include "app/OperatorWarnings.h"
#include "app/ServerStatus.h"
#include "library/SongCatalogue.h"
#include "net/Lines.h"
#include "protocol/Interpreter.h"

#include <QCoreApplication>
#include <QEventLoop>

Server::Server(QObject *parent)
    : QObject(parent),
      mLog(std::make_unique<OperatorLog>()),
      mLines(std::make_unique<Lines>(LineServices{
          [this](const QString &msg) { AddLog(msg); },
          [this] { return exiting(); },
          [this] { waitForEvents(); },
      })),
      mCatalogue(std::make_unique<SongCatalogue>(ScanServices{
          [this](const QString &msg) { AddLog(msg); },
          [this] { return exiting(); },
          [this] { pumpEvents(); },
          [this] { return mFields.musicFolder; }})),
      mInterpreter(std::make_unique<Interpreter>(*this)),
      mStatus(std::make_unique<ServerStatus>(*mLines))
{
    mVer = versionText();
    connectStatus();
    connect(mLines.get(), &Lines::listening, this, &Server::Lines_listening);
    connect(mLines.get(), &Lines::DataArrival, mInterpreter.get(), &Interpreter::Winsock_DataArrival);
    connect(mLines.get(), &Lines::SendProgress, mInterpreter.get(), &Interpreter::Winsock_SendProgress);
    connect(mLines.get(), &Lines::SendComplete, mInterpreter.get(), &Interpreter::Winsock_SendComplete);
}

Server::~Server()
{
    beginExit();
    // Components refer to each other through the server: take them down in
    // the reverse order of construction.
    mStatus.reset();
    mInterpreter.reset();
    mCatalogue.reset();
    mLines.reset();
    mLog.reset();
}

ConnectionTable &Server::table()
{
    return mLines->table();
}

QString Server::versionText()
{
    return QStringLiteral("%1.%2.%3")
        .arg(VORLUNE_VERSION_MAJOR)
        .arg(VORLUNE_VERSION_MINOR)
        .arg(VORLUNE_VERSION_PATCH);
}

void Server::AddLog(const QString &msg)
{
    mLog->AddLog(msg);
}

void Server::setField(QString SettingsFields::*field, int line, const QString &text)
{
    mFields.kept[line].reset();
    if (mFields.*field == text)
        return;
    mFields.*field = text;
    emit fieldsChanged();
}

void Server::setTxtIP(const QString &text) { setField(&SettingsFields::ip, 0, text); }
void Server::setTxtPort(const QString &text) { setField(&SettingsFields::port, 1, text); }
void Server::setTxtMusicFolder(const QString &text) { setField(&SettingsFields::musicFolder, 2, text); }

void Server::setTxtIPAutoSelected(const QString &address)
{
    std::optional<KeptSettingsLine> &kept = mFields.kept[0];
    if (!kept || kept->shownAs != mFields.ip) {
        const QByteArray own = mFields.ip.toUtf8();
        kept = KeptSettingsLine{QString(), own, own.size(), QString()};
    }
    kept->shownAs = address;
    if (mFields.ip == address)
        return;
    mFields.ip = address;
    emit fieldsChanged();
}

void Server::setFields(const SettingsFields &fields)
{
    mFields = fields;
    emit fieldsChanged();
}

void Server::connectStatus()
{
    ServerStatus *status = mStatus.get();
    Lines *lines = mLines.get();
    connect(lines, &Lines::listenStarted, status, &ServerStatus::Lines_listenStarted);
    connect(lines, &Lines::listenFailed, status, &ServerStatus::Lines_listenFailed);
    connect(lines, &Lines::connectionAccepted, status, &ServerStatus::Lines_connectionAccepted);
    connect(lines, &Lines::lineReleased, status, &ServerStatus::Lines_lineReleased);
    connect(lines, &Lines::SendProgress, status, &ServerStatus::Lines_SendProgress);
    connect(lines, &Lines::SendComplete, status, &ServerStatus::Lines_SendComplete);
    SongCatalogue *catalogue = mCatalogue.get();
    connect(catalogue, &SongCatalogue::scanStarted, status, &ServerStatus::Catalogue_scanStarted);
    connect(catalogue, &SongCatalogue::musicFolderUnreadable, status, &ServerStatus::Catalogue_musicFolderUnreadable);
    connect(catalogue, &SongCatalogue::scanProgress, status, &ServerStatus::Catalogue_scanProgress);
    connect(catalogue, &SongCatalogue::scanEnded, status, &ServerStatus::Catalogue_scanEnded);
    Interpreter *interpreter = mInterpreter.get();
    connect(interpreter, &Interpreter::songStreamStarted, status, &ServerStatus::Interpreter_songStreamStarted);
    connect(interpreter, &Interpreter::songStreamEnded, status, &ServerStatus::Interpreter_songStreamEnded);

    // Logged before the "Listening on" and "Songs Available: " lines they explain.
    connect(lines, &Lines::listenStarted, this, [this](qint16, const QString &, quint16 port, bool chosen) {
        if (chosen)
            AddLog(OperatorWarnings::portChosenBySystem(port));
    });
    connect(catalogue, &SongCatalogue::musicFolderUnreadable, this,
            [this](const QString &folder, const QString &reason) {
                AddLog(OperatorWarnings::unreadableMusicFolder(folder, reason));
            });
}

void Server::Lines_listening(const QString &localIP)
{
    MyIP = localIP;
    SetTitle(MyIP);
    if (mFields.ip.isEmpty())
        setTxtIPAutoSelected(MyIP);
}

void Server::SetTitle(const QString &address)
{
    mTitle = applicationTitle() + QStringLiteral(" v") + mVer + QStringLiteral("  [") + address
             + QStringLiteral("]");
    emit titleChanged(mTitle);
}

void Server::ShowInformation(const QString &text)
{
    if (!mPresenter || mBoxOpen || mExiting) {
        AddLog(text);
        return;
    }
    mBoxOpen = true;
    mPresenter(text);
    mBoxOpen = false;
}

void Server::setInformationPresenter(std::function<void(const QString &)> presenter)
{
    mPresenter = std::move(presenter);
}

void Server::pumpEvents()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void Server::waitForEvents()
{
    if (mExiting)
        return;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void Server::beginExit()
{
    if (mExiting)
        return;
    mExiting = true;
    if (mLines)
        mLines->closeAllSilently();
}
