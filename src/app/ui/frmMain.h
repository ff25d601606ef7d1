#pragma once
// frmMain: the server's one window. It shows the core's state (log and
// incoming panes, the settings fields, the Active Connections table, the
// title) and forwards the operator's actions to the core's OperatorActions;
// it owns the tray icon. Start-up and the exit work are the core's
// (ServerLifecycle): the load step (Form_Load) runs them with the window's
// icon and tray icon steps in their places.
//
// Controls carry the classic names as objectNames; the two Clear buttons are
// "cmdClear_0" (incoming pane) and "cmdClear_2" (log), the Exit menu item is
// "mnuFileItem_0", the four frames are fraIncoming, fraLog, fraConnections
// and fraSettings. The tray icon's menu is "mnuTray" with "mnuTrayItem_0"
// ("Show") and "mnuTrayItem_1" ("Exit").
//
// Under the frames a status bar shows what the server is doing (the core's
// ServerStatus): activity (a scan, a song stream) on the left; where it
// listens, the songs offered and the clients connected on the right
// (lblStatusActivity, lblStatusListen, lblStatusSongs, lblStatusClients).
// It is redrawn at most ten times a second, and only while something
// changes or is under way: an idle server costs no wake-ups for it.
//
// The window starts at its design size and can be resized and maximised:
// the table and the two panes take the space; the settings and the buttons
// keep their size and order.
//
// Closing the window only hides it (or minimises it where the desktop has no
// notification area); only File > "E&xit" and SIGINT/SIGTERM/SIGHUP end the
// program.
//
// Re-entrancy: the exit can be asked for from inside any wait (a stream, the
// send gate, the start-up scan, a modal box). It never destroys the window or
// the Server under those waits: it runs the exit work once, marks the server
// as exiting (sockets closed without events, every wait returns) and asks the
// event loops to end. The program ends when the outermost loop is reached;
// main() destroys the window and then the Server. Every button's action
// (OperatorActions) may run nested inside a wait as well, as the operator
// can click while a song is sent.

#include <QMainWindow>
#include <QString>

class CTray;
class PaneMirror;
class PictureBox;
class QAction;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QTimer;
class QTreeView;
class OperatorActions;
class Server;
class ServerLifecycle;

class frmMain : public QMainWindow {
    Q_OBJECT
public:
    // The window installs its own Exit in actions (it closes itself, then
    // runs the lifecycle's exit work) and its steps in lifecycle, for its
    // life; both must outlive it.
    frmMain(Server &server, OperatorActions &actions, ServerLifecycle &lifecycle, QWidget *parent = nullptr);
    ~frmMain() override;

    Server &server() { return mServer; }

    // The size the window starts with.
    static constexpr int kDesignWidth = 980;
    static constexpr int kDesignHeight = 720;

    // What a close of the window means: hide it behind the tray icon, or end
    // the program (set by File > "E&xit" before it closes the window).
    enum class CloseIntent { Hide, Exit };
    CloseIntent closeIntent() const { return Tag; }

    // --- fields ----------------------------------------------------------------
    CTray *Tray = nullptr;

    // Where the settings file lives (ServerLifecycle's, forwarded).
    void setApplicationFolder(const QString &folder);
    void setSettingsFile(const QString &path);
    QString settingsPath() const;

    // --- start-up and exit -------------------------------------------------------
    // The load step: the core's start-up sequence (ServerLifecycle::start),
    // with the window's icon and tray icon in their places. An exit during
    // the scan skips the steps after it.
    void Form_Load();
    // File > "E&xit" (index 0; other indices do nothing).
    void mnuFileItem_Click(int index);
    // True once the exit work has run.
    bool exitDone() const;

    // --- actions ---------------------------------------------------------------
    void cmdClear_Click(int index);
    // Tray double click: shows a hidden window in its normal state.
    void Tray_LButtonDblClick();
    // The tray menu: 0 "Show" (a hidden or minimised window in its normal
    // state, a shown one brought to the front), 1 "Exit" (as File > "E&xit").
    // Other indices do nothing. "Exit" can run nested inside a wait, like
    // File > "E&xit".
    void mnuTrayItem_Click(int index);

    // Shows the core's table model once it exists (idempotent).
    void attachTable();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildControls();
    void buildStatusBar();
    void connectCore();
    void connectStatus();
    void showStatus();
    void runExitWork();
    void applyColumnWidths();
    void showFields();
    void showInNormalState();
    void bringToFront();
    void putUpTrayIcon();
    void removeTrayIcon();

    Server &mServer;
    OperatorActions &mActions;
    ServerLifecycle &mLifecycle;
    CloseIntent Tag = CloseIntent::Hide;
    bool mTableAttached = false;

    // Controls, named as on the classic form.
    PictureBox *pic = nullptr;
    QGroupBox *fraIncoming = nullptr;
    QPlainTextEdit *txtIn = nullptr;
    QPushButton *cmdClear_0 = nullptr;
    QCheckBox *chkHide = nullptr;
    QLabel *Label5 = nullptr;
    QLabel *lblDataArrivalPurged = nullptr;
    QGroupBox *fraLog = nullptr;
    QPlainTextEdit *txtLog = nullptr;
    QPushButton *cmdClear_2 = nullptr;
    QLabel *lblLogWindowPurged = nullptr;
    QGroupBox *fraConnections = nullptr;
    QPushButton *cmdSend = nullptr;
    QPushButton *cmdClose = nullptr;
    QTreeView *ListView1 = nullptr;
    QGroupBox *fraSettings = nullptr;
    QPushButton *cmdReload = nullptr;
    QLineEdit *txtMusicFolder = nullptr;
    QPushButton *cmdListen = nullptr;
    QLineEdit *txtPort = nullptr;
    QLineEdit *txtIP = nullptr;
    QLabel *Label1 = nullptr;
    QLabel *Label4 = nullptr;
    QLabel *Label3 = nullptr;
    QMenu *mnuFile = nullptr;
    QAction *mnuFileItem_0 = nullptr;
    QMenu *mnuTray = nullptr;
    QAction *mnuTrayItem_0 = nullptr;
    QAction *mnuTrayItem_1 = nullptr;

    QLabel *lblStatusActivity = nullptr;
    QLabel *lblStatusListen = nullptr;
    QLabel *lblStatusSongs = nullptr;
    QLabel *lblStatusClients = nullptr;
    QTimer *mStatusRefresh = nullptr;

    PaneMirror *mLogMirror = nullptr;
    PaneMirror *mIncomingMirror = nullptr;
};
