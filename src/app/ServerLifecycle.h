#pragma once
// The server's start-up and exit, run by the core whatever front end there
// is: the window's load step calls start(), a headless main() calls it
// directly, and the exit work runs from exit() (File > "E&xit", a
// termination signal, the operator actions' Exit).
//
// Start-up, in order: version; the front end's icon and tray icon (a window
// installs them; headless there are none); application folder; settings
// read into the fields; title; the table's columns; scan of the music
// folder; Listen, as the operator's Listen does it. A step whose failure no
// called routine handles is logged ("Start-up step failed (...)") and
// start-up goes on. Exit work, in order: settings written (a failure is
// logged), the front end's tray icon removed, then the server is marked as
// exiting (sockets closed without events, every wait returns) and the event
// loop is asked to end.
//
// Re-entrancy: the scan lets events through, so exit() (a signal, the tray's
// Exit) can run nested inside start(); start() then skips every step after
// the one that was running. exit() can run nested inside any wait; it runs
// its work once, and never destroys anything: main() destroys the front end
// and the Server after the outermost event loop has returned. The front end
// steps run inside start() and exit() and must not wait.

#include <QObject>
#include <QString>

#include <functional>

class OperatorActions;
class Server;

class ServerLifecycle : public QObject {
    Q_OBJECT
public:
    // Installs exit() as the operator actions' Exit; a front end that must
    // do more at Exit (a window closes itself) installs its own, which
    // calls exit().
    ServerLifecycle(Server &server, OperatorActions &actions, QObject *parent = nullptr);
    ~ServerLifecycle() override;

    // What a front end adds to the sequence, each run at its place.
    struct FrontEndSteps {
        std::function<void()> icon;           // start-up, after the version
        std::function<void()> trayIcon;       // start-up, after the icon
        std::function<void()> removeTrayIcon; // exit, after the settings were written
    };
    void setFrontEndSteps(FrontEndSteps steps);

    // --- where the settings file lives -------------------------------------------
    // A folder that stands for the executable's (tests, portable set-ups).
    void setApplicationFolder(const QString &folder);
    // A settings file chosen before start-up (command line or configuration
    // folder); it wins over the application folder.
    void setSettingsFile(const QString &path) { mSettingsFile = path; }
    QString settingsPath() const;

    // --- the sequence --------------------------------------------------------------
    // The start-up sequence above; runs once.
    void start();
    // The exit work above; runs once, from wherever it is asked for.
    void exit();
    bool exitDone() const { return mExitDone; }
    // Start-up's listener (line 0) is open.
    bool listening() const;

signals:
    // The exit work has begun; raised once, before the settings are written.
    void exitStarted();

private:
    template <typename Step> void step(const char *name, Step &&run);

    Server &mServer;
    OperatorActions &mActions;
    FrontEndSteps mFrontEnd;
    QString mApplicationFolder;
    QString mSettingsFile;
    QString mAppPath;
    bool mStarted = false;
    bool mExitDone = false;
};
