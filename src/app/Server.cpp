#include "app/Server.h"

#include "app/OperatorLog.h"
#include "app/OperatorWarnings.h"
#include "app/ServerStatus.h"
#include "library/SongCatalogue.h"
#include "net/Lines.h"
#include "net/Winsock.h"
#include "protocol/Interpreter.h"

#include <QCoreApplication>
#include <QEventLoop>

Server::Server(QObject *parent)
    : QObject(parent), mLog(std::make_unique<OperatorLog>()),
      mLines(std::make_unique<Lines>(LineServices{
              [this](const QString &msg) { AddLog(msg); },
              [this] { return exiting(); },
              [this] { waitForEvents(); },
      })),
      mCatalogue(std::make_unique<SongCatalogue>(
              ScanServices{[this](const QString &msg) { AddLog(msg); }, [this] { return exiting(); },
                           [this] { pumpEvents(); }, [this] { return mFields.musicFolder; }})),
      mInterpreter(std::make_unique<Interpreter>(
              ProtocolServices{[this](const QString &msg) { AddLog(msg); },
                               [this](const QString &text) { mLog->AddIncoming(text); },
                               [this] { return mHide; },
                               [this](const QString &text) { ShowInformation(text); },
                               [this] { return exiting(); }, [this] { pumpEvents(); }},
              *mLines, *mCatalogue)),
      mStatus(std::make_unique<ServerStatus>(*mLines, *mCatalogue, *mInterpreter))
{
    mVer = versionText();
    connect(mLines.get(), &Lines::listenStarted, this, &Server::Lines_listenStarted);
    connectWarnings();
}

Server::~Server()
{
    beginExit();
    // The interpreter refers to the lines and the catalogue, and every
    // component to the services of this server: take them down in the
    // reverse order of construction; the status first, which refers to
    // all three.
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

void Server::setTxtIP(const QString &text)
{
    setField(&SettingsFields::ip, 0, text);
}
void Server::setTxtPort(const QString &text)
{
    setField(&SettingsFields::port, 1, text);
}
void Server::setTxtMusicFolder(const QString &text)
{
    setField(&SettingsFields::musicFolder, 2, text);
}

void Server::setTxtIPAutoSelected(const QString &address)
{
    std::optional<KeptSettingsLine> &kept = mFields.kept[0];
    if (!kept || kept->shownAs != mFields.ip) {
        const QByteArray own = mFields.ip.toUtf8();
        kept = KeptSettingsLine{QString(), own, own.size()};
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

void Server::connectWarnings()
{
    Lines *lines = mLines.get();
    SongCatalogue *catalogue = mCatalogue.get();
    // Logged before the "Listening on" and "Songs Available: " lines they explain.
    connect(lines, &Lines::listenStarted, this, [this](qint16, const QString &, quint16 port, bool chosen) {
        if (chosen)
            AddLog(OperatorWarnings::portChosenBySystem(port));
    });
    // Only while no scan has completed: then nothing at all is offered.
    connect(catalogue, &SongCatalogue::musicFolderEmpty, this, [this, catalogue] {
        if (!catalogue->FileHelper())
            AddLog(OperatorWarnings::emptyMusicFolder());
    });
    connect(catalogue, &SongCatalogue::musicFolderUnreadable, this,
            [this](const QString &folder, const QString &reason) {
                AddLog(OperatorWarnings::unreadableMusicFolder(folder, reason));
            });
    connect(catalogue, &SongCatalogue::linksLeadOutside, this,
            [this](qint64 count) { AddLog(OperatorWarnings::linksLeadOutside(count)); });
}

void Server::Lines_listenStarted(qint16 line)
{
    const Winsock *listener = mLines->socket(line);
    MyIP = listener ? listener->LocalIP() : QString();
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
