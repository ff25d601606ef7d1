#pragma once
// Everything an operator can do to the server, in one place: the three
// settings fields, Listen, Reload, Close of the selected rows, the selection
// itself, Clear of each pane, "Hide System Messages", and Exit. The window
// calls these; so does every other front end that steers the server, so
// each action behaves and logs exactly as the window's control does.
//
// Re-entrancy: Listen, Close, Reload and Exit may run nested inside a wait
// (a song send, the send gate, a scan), exactly as the window's buttons can;
// Reload and Close may themselves let events through (the scan pumps, a
// close ends a line). No action keeps a row, a socket or a list item across
// such a point. Nothing here is destroyed under a wait.

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
    // The front end that owns the exit work installs it.
    void exit();
    void setExitHandler(std::function<void()> handler);

private:
    Server &mServer;
    std::function<void()> mExit;
};
