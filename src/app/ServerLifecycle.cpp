#include "app/ServerLifecycle.h"

#include "app/OperatorActions.h"
#include "app/Server.h"
#include "app/SettingsFile.h"
#include "library/SongCatalogue.h"
#include "net/ConnectionTable.h"
#include "net/Lines.h"
#include "net/Winsock.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <exception>

ServerLifecycle::ServerLifecycle(Server &server, OperatorActions &actions, QObject *parent)
    : QObject(parent), mServer(server), mActions(actions)
{
    mActions.setExitHandler([this] { exit(); });
}

ServerLifecycle::~ServerLifecycle()
{
    mActions.setExitHandler({});
}

void ServerLifecycle::setFrontEndSteps(FrontEndSteps steps)
{
    mFrontEnd = std::move(steps);
}

void ServerLifecycle::setApplicationFolder(const QString &folder)
{
    mApplicationFolder = folder;
    if (!mApplicationFolder.isEmpty() && !mApplicationFolder.endsWith(QLatin1Char('/')))
        mApplicationFolder += QLatin1Char('/');
    mAppPath = mApplicationFolder;
}

QString ServerLifecycle::settingsPath() const
{
    if (!mSettingsFile.isEmpty())
        return mSettingsFile;
    // Before start-up has found the folder (an exit during construction),
    // the executable's folder is still the one place the file belongs.
    if (mAppPath.isEmpty())
        return QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(kSettingsFileName);
    return mAppPath + QLatin1String(kSettingsFileName);
}

bool ServerLifecycle::listening() const
{
    Winsock *listener = mServer.lines().socket(0);
    return listener && listener->State() == Winsock::sckListening;
}

template <typename Step> void ServerLifecycle::step(const char *name, Step &&run)
{
    // A step whose failure no called routine handles is reported, and
    // start-up goes on with the next step.
    try {
        run();
    } catch (const std::exception &e) {
        mServer.AddLog(QStringLiteral("Start-up step failed (%1): %2")
                               .arg(QLatin1String(name), QString::fromLocal8Bit(e.what())));
    } catch (...) {
        mServer.AddLog(QStringLiteral("Start-up step failed (%1)").arg(QLatin1String(name)));
    }
}

void ServerLifecycle::start()
{
    if (mStarted)
        return;
    mStarted = true;
    step("version", [this] { mServer.mVer = Server::versionText(); });
    if (mFrontEnd.icon)
        step("icon", mFrontEnd.icon);
    if (mFrontEnd.trayIcon)
        step("tray icon", mFrontEnd.trayIcon);
    step("application folder", [this] {
        if (mApplicationFolder.isEmpty()) {
            mAppPath = QCoreApplication::applicationDirPath();
            if (!mAppPath.endsWith(QLatin1Char('/')))
                mAppPath += QLatin1Char('/');
        } else {
            mAppPath = mApplicationFolder;
        }
    });
    step("settings", [this] {
        SettingsFields fields = mServer.fields();
        LoadSettings(settingsPath(), fields);
        mServer.setFields(fields);
    });
    step("title", [this] {
        Winsock *listener = mServer.lines().socket(0);
        mServer.SetTitle(listener ? listener->LocalIP() : QString());
    });
    step("columns", [this] { mServer.table().addColumns(); });
    // The scan lets events through: the operator (or a signal) can end the
    // program inside it. Nothing may start after the settings were saved.
    if (mExitDone || mServer.exiting())
        return;
    step("scan", [this] { mServer.catalogue().LoadMP3List(); });
    if (mExitDone || mServer.exiting())
        return;
    step("listen", [this] { mActions.listen(); });
}

void ServerLifecycle::exit()
{
    if (mExitDone)
        return;
    mExitDone = true;
    emit exitStarted();
    // A configuration folder or a --settings folder may not exist yet.
    QDir().mkpath(QFileInfo(settingsPath()).absolutePath());
    QString whyNot;
    if (!SaveSettings(settingsPath(), mServer.fields(), &whyNot)) {
        mServer.AddLog(QStringLiteral("Settings not saved to %1: %2")
                               .arg(QDir::toNativeSeparators(settingsPath()), whyNot));
    }
    if (mFrontEnd.removeTrayIcon)
        mFrontEnd.removeTrayIcon();
    // Sockets close without events and every wait returns; the front end and
    // the Server stay alive until the outermost loop has returned.
    mServer.beginExit();
    QCoreApplication::exit(0);
}
