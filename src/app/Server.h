#pragma once
// The server's whole state without a window: what the main window owns in
// a classic desktop program (settings fields, log panes, title, line pool,
// connection table, catalogue, command interpreter) lives here, so that it
// can be driven and tested without widgets. The window (app/ui) shows this
// state and forwards the operator's actions to it.
//
// Everything runs on the one GUI thread. Several routines let pending events
// through in their middle (pumpEvents / waitForEvents): the send gate, the
// song and list streams, the directory walk and the information box. Any
// handler of any component can therefore run nested inside another one.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <array>
#include <functional>
#include <memory>
#include <optional>

class OperatorLog;
class ConnectionTable;
class ServerStatus;
class Lines;
class SongCatalogue;
class Interpreter;

// A settings line that a field's text does not stand for exactly: a line
// that is not valid UTF-8 or is too long to read whole, or the operator's
// own line under an address the program picked itself. While the field
// shows shownAs, the field counts as unchanged.
struct KeptSettingsLine {
    QString shownAs;  // the field's text that stands for the line
    QByteArray bytes; // the line; only its start when it was too long to hold
    qint64 size = 0;  // the line's whole length in bytes
};

// The three operator settings, as the text fields of the window hold them.
// A field that still shows what it showed once the settings were read (or
// its kept line's shownAs) was not changed in the program: its line of the
// settings file is left as it stands on disk at exit, so an edit made to
// the file meanwhile survives.
struct SettingsFields {
    QString ip;                             // txtIP
    QString port = QStringLiteral("15150"); // txtPort
    QString musicFolder;                    // txtMusicFolder
    // By line of the settings file: 0 IP, 1 port, 2 music folder.
    std::array<std::optional<KeptSettingsLine>, 3> kept;
    // The fields' texts once the settings were read (the file's lines, or
    // what the fields held where it has none); before that, their initial
    // contents, so an exit before the file was read leaves it alone.
    std::array<QString, 3> asRead{ip, port, musicFolder};
};

class Server : public QObject {
    Q_OBJECT
public:
    explicit Server(QObject *parent = nullptr);
    ~Server() override;

    static QString applicationTitle() { return QStringLiteral("Vorlune Server"); }
    // "major.minor.revision" of the project version, no leading zeros.
    static QString versionText();

    OperatorLog &log() { return *mLog; }
    ConnectionTable &table(); // lines().table()
    Lines &lines() { return *mLines; }
    SongCatalogue &catalogue() { return *mCatalogue; }
    Interpreter &interpreter() { return *mInterpreter; }
    // What the server is doing, for the operator's display.
    ServerStatus &status() { return *mStatus; }

    // Shorthand for log().AddLog(msg).
    void AddLog(const QString &msg);

    // --- settings fields (txtIP, txtPort, txtMusicFolder) ---------------------
    const SettingsFields &fields() const { return mFields; }
    // The operator's edits: the settings file then gets the field's text.
    void setTxtIP(const QString &text);
    void setTxtPort(const QString &text);
    void setTxtMusicFolder(const QString &text);
    // The fields as read from the settings file, kept lines included.
    void setFields(const SettingsFields &fields);
    // An address the Listen action picked by itself: txtIP shows it, while
    // the settings file keeps the operator's own line until the operator
    // edits the field, so the next start picks again.
    void setTxtIPAutoSelected(const QString &address);

    // chkHide, "Hide System Messages"
    bool hideSystemMessages() const { return mHide; }
    void setHideSystemMessages(bool hide) { mHide = hide; }

    // --- title ------------------------------------------------------------------
    QString mVer; // the version text: the one copy the program holds, set at construction
    QString myIP() const { return MyIP; } // local address of the most recent listener
    // "Vorlune Server v" + mVer + "  [" + address + "]"
    void SetTitle(const QString &address);
    QString title() const { return mTitle; }

    // --- information box --------------------------------------------------------
    // Shows a modal information box (the window installs the presenter; it
    // runs a nested event loop, so any handler can run inside). At most one
    // box is open at a time: while one is open, or where no presenter is
    // installed (headless), the text is logged instead and the call returns.
    void ShowInformation(const QString &text);
    void setInformationPresenter(std::function<void(const QString &)> presenter);

    // --- event pumping ----------------------------------------------------------
    // Lets pending events be processed once, without blocking.
    void pumpEvents();
    // Blocks until at least one event has arrived and processes it. Never
    // spins. Returns at once when the server is exiting.
    void waitForEvents();

    // --- exit -------------------------------------------------------------------
    // Set once the exit work has begun. Every wait, stream and walk treats it
    // as a reason to stop at its next step.
    bool exiting() const { return mExiting; }
    // Marks the server as exiting and closes every socket without events.
    // Idempotent.
    void beginExit();

signals:
    void fieldsChanged(); // any of the three settings fields
    void titleChanged(const QString &title);

private:
    void setField(QString SettingsFields::*field, int line, const QString &text);
    // A listener has started: its socket's local address is the one the
    // title shows, and the one txtIP shows when the operator named none.
    void Lines_listenStarted(qint16 line);
    // Logs the warnings that call for the operator (OperatorWarnings).
    void connectWarnings();

    std::unique_ptr<OperatorLog> mLog;
    std::unique_ptr<Lines> mLines;
    std::unique_ptr<SongCatalogue> mCatalogue;
    std::unique_ptr<Interpreter> mInterpreter;
    std::unique_ptr<ServerStatus> mStatus;
    SettingsFields mFields;
    QString MyIP;
    QString mTitle;
    bool mHide = false;
    bool mExiting = false;
    bool mBoxOpen = false;
    std::function<void(const QString &)> mPresenter;
};
