// Start-up (the window's load step) and the exit work.
#include "app/ui/frmMain.h"

#include "app/Server.h"
#include "app/SettingsFile.h"
#include "app/ui/CTray.h"
#include "app/ui/PictureBox.h"
#include "library/SongCatalogue.h"
#include "net/ConnectionTable.h"
#include "net/Lines.h"
#include "net/Winsock.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <exception>

void frmMain::setApplicationFolder(const QString &folder)
{
    mApplicationFolder = folder;
    if (!mApplicationFolder.isEmpty() && !mApplicationFolder.endsWith(QLatin1Char('/')))
        mApplicationFolder += QLatin1Char('/');
    mAppPath = mApplicationFolder;
}

QString frmMain::settingsPath() const
{
    if (!mSettingsFile.isEmpty())
        return mSettingsFile;
    // Before start-up has found the folder (an exit during construction),
    // the executable's folder is still the one place the file belongs.
    if (mAppPath.isEmpty())
        return QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(kSettingsFileName);
    return mAppPath + QLatin1String(kSettingsFileName);
}

template <typename Step> void frmMain::startupStep(const char *name, Step &&step)
{
    // A step whose failure no called routine handles is reported, and
    // start-up goes on with the next step.
    try {
        step();
    } catch (const std::exception &e) {
        mServer.AddLog(QStringLiteral("Start-up step failed (%1): %2")
                               .arg(QLatin1String(name), QString::fromLocal8Bit(e.what())));
    } catch (...) {
        mServer.AddLog(QStringLiteral("Start-up step failed (%1)").arg(QLatin1String(name)));
    }
}

void frmMain::Form_Load()
{
    startupStep("version", [this] { mServer.mVer = Server::versionText(); });
    startupStep("icon", [this] { pic->setPicture(windowIcon()); });
    startupStep("tray icon", [this] {
        Tray = new CTray;
        Tray->setPicBox(pic);
        Tray->setTipText(Server::applicationTitle() + QStringLiteral(" v") + mServer.mVer);
        connect(Tray, &CTray::LButtonDblClick, this, &frmMain::Tray_LButtonDblClick);
        Tray->setContextMenu(mnuTray);
        Tray->ShowIcon();
    });
    startupStep("application folder", [this] {
        if (mApplicationFolder.isEmpty()) {
            mAppPath = QCoreApplication::applicationDirPath();
            if (!mAppPath.endsWith(QLatin1Char('/')))
                mAppPath += QLatin1Char('/');
        } else {
            mAppPath = mApplicationFolder;
        }
    });
    startupStep("settings", [this] {
        SettingsFields fields = mServer.fields();
        LoadSettings(settingsPath(), fields);
        mServer.setFields(fields);
    });
    startupStep("title", [this] {
        Winsock *listener = mServer.lines().socket(0);
        mServer.SetTitle(listener ? listener->LocalIP() : QString());
    });
    startupStep("columns", [this] {
        mServer.table().addColumns();
        attachTable();
    });
    // The scan lets events through: the operator (or a signal) can end the
    // program inside it. Nothing may start after the settings were saved.
    if (mExitDone || mServer.exiting())
        return;
    startupStep("scan", [this] { mServer.catalogue().LoadMP3List(); });
    if (mExitDone || mServer.exiting())
        return;
    startupStep("listen",
                [this] { mServer.lines().cmdListen_Click(mServer.fields().ip, mServer.fields().port); });
}

void frmMain::mnuFileItem_Click(int index)
{
    if (index != 0)
        return;
    Tag = CloseIntent::Exit;
    close();
    // A hidden window may not get a close event at all; the exit work runs
    // exactly once either way.
    runExitWork();
}

void frmMain::requestExit()
{
    mnuFileItem_Click(0);
}

void frmMain::runExitWork()
{
    if (mExitDone)
        return;
    mExitDone = true;
    // A configuration folder or a --settings folder may not exist yet.
    QDir().mkpath(QFileInfo(settingsPath()).absolutePath());
    QString whyNot;
    if (!SaveSettings(settingsPath(), mServer.fields(), &whyNot)) {
        mServer.AddLog(QStringLiteral("Settings not saved to %1: %2")
                               .arg(QDir::toNativeSeparators(settingsPath()), whyNot));
    }
    if (Tray) {
        Tray->DeleteIcon();
        CTray *tray = Tray;
        Tray = nullptr;
        tray->release();
    }
    // Sockets close without events and every wait returns; the window and
    // the Server stay alive until the outermost loop has returned.
    mServer.beginExit();
    QCoreApplication::exit(0);
}
