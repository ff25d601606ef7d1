#pragma once
// Everything an operator can do to the server, in one place: the three
// settings fields, Listen, Reload, Close of the selected rows, the selection
// itself, Clear of each pane, "Hide System Messages", and Exit. The window
// calls these; so does every other front end that steers the server, so
// each action behaves and logs exactly as the window's control does.
//
// Re-entrancy: every action may run nested inside a wait (a song send, the
// send gate, a scan), exactly as the window's buttons can. Only Reload lets
// events through itself (the scan pumps; a Reload asked for during a scan
// runs once that scan has completed), and Exit ends every wait it runs in.
// Listen, Close, the selection, Clear and the fields never wait. No action
// keeps a row, a socket or a list item across a wait. Nothing here is
// destroyed under a wait.

#include <QList>
#include <QString>
#include <QtGlobal>

#include <functional>

class Server;

class OperatorActions {
public:
    explicit OperatorActions(Server &server);

    // The settings fields, as the operator types them (txtIP, txtPort,
    // txtMusicFolder): the settings file then gets the field's text. They
    // take effect at the next Listen or Reload.
    void setIP(const QString &text);
    void setPort(const QString &text);
    void setMusicFolder(const QString &text);
    void setHideSystemMessages(bool hide);

    // cmdListen: listens on the fields' address and port.
    void listen();
    // cmdReload: scans the music folder again.
    void reload();
    // cmdClose: closes the lines of the selected rows.
    void closeSelected();
    // The Active Connections selection, by line number: exactly these lines'
    // rows are selected afterwards (lines without a row are ignored), so the
    // replies go to them, as after clicks in the window's table.
    void selectLines(const QList<qint16> &lines);
    // cmdClear: 0 the incoming pane, 2 the log pane; other indices do nothing.
    void clearPane(int index);

    // File > "E&xit": the exit work runs once, then the event loop ends.
    // ServerLifecycle installs its exit work; a front end that must do more
    // (a window closes itself) installs its own. Without one, nothing.
    void exit();
    void setExitHandler(std::function<void()> handler);

private:
    Server &mServer;
    std::function<void()> mExit;
};
