// Start-up (the window's load step) and the exit work: the core's sequence
// (ServerLifecycle), with the window's own steps, its icon and tray icon.
#include "app/ui/frmMain.h"

#include "app/OperatorActions.h"
#include "app/Server.h"
#include "app/ServerLifecycle.h"
#include "app/ui/CTray.h"
#include "app/ui/PictureBox.h"

void frmMain::setApplicationFolder(const QString &folder)
{
    mLifecycle.setApplicationFolder(folder);
}

void frmMain::setSettingsFile(const QString &path)
{
    mLifecycle.setSettingsFile(path);
}

QString frmMain::settingsPath() const
{
    return mLifecycle.settingsPath();
}

bool frmMain::exitDone() const
{
    return mLifecycle.exitDone();
}

void frmMain::Form_Load()
{
    mLifecycle.start();
}

void frmMain::putUpTrayIcon()
{
    Tray = new CTray;
    Tray->setPicBox(pic);
    Tray->setTipText(Server::applicationTitle() + QStringLiteral(" v") + mServer.mVer);
    connect(Tray, &CTray::LButtonDblClick, this, &frmMain::Tray_LButtonDblClick);
    Tray->setContextMenu(mnuTray);
    Tray->ShowIcon();
}

void frmMain::removeTrayIcon()
{
    if (!Tray)
        return;
    Tray->DeleteIcon();
    CTray *tray = Tray;
    Tray = nullptr;
    tray->release();
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

void frmMain::runExitWork()
{
    // The settings, then the tray icon (removeTrayIcon, a step of ours),
    // then the sockets; the window and the Server stay alive until the
    // outermost loop has returned.
    mLifecycle.exit();
}
