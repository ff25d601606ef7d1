#pragma once
// Who may connect, decided when a connection is requested, before a line is
// claimed: only clients in the networks the operator allows (none given:
// every address), and no host beyond the number of lines one host may hold
// (0: no limit). A connection turned away claims no line, adds no row and is
// sent nothing; the listener closes it at once. Whoever wires the lines in
// gives the rule (the command line's --allow and --max-lines-per-host).
//
// An IPv4 client of a dual-stack listener shows as ::ffff:a.b.c.d; it is
// matched, counted and logged as the IPv4 address it is.
//
// Each refusal is logged, but boundedly: a host that retries thousands of
// times a second must flood neither the log nor the disk behind standard
// output. A window opens at the first refusal and lasts kWindow; within it,
// the first refusal of each address is logged, up to kLinesPerWindow lines,
// and the rest only counted; when the window ends, one line says how many
// were not logged one by one, and the next refusal opens a new window. The
// window's timer runs only while a window is open: an idle server has no
// wake-ups from it.
//
// Nothing here waits. The window's end comes through the event loop, so its
// log line can come inside any wait that lets events through (the send gate,
// a stream, a scan); it only logs.

#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>

struct AdmissionRule {
    QList<QPair<QHostAddress, int>> allowed; // networks (address, prefix length); empty: every address
    int maxLinesPerHost = 0;                 // 0: no limit

    bool restricts() const { return !allowed.isEmpty() || maxLinesPerHost > 0; }
    // Whether peer lies in one of the allowed networks (always, when none is given).
    bool allowsAddress(const QHostAddress &peer) const;
    // One network as an operator writes it: an address ("192.168.1.20",
    // "::1") or a network in CIDR form ("192.168.1.0/24", "fd00::/8"). An
    // IPv4-mapped network is taken as the IPv4 one. nullopt when malformed.
    static std::optional<QPair<QHostAddress, int>> parseNetwork(const QString &text);
};

// Bounds the log lines of connections turned away (see above). Pure: the
// owner ends each window (endWindow) once kWindow has passed since
// refused() answered that it opened one.
class RefusalLog {
public:
    static constexpr int kLinesPerWindow = 10;
    static constexpr std::chrono::milliseconds kWindow = std::chrono::seconds(60);

    explicit RefusalLog(std::function<void(const QString &)> log) : mLog(std::move(log)) {}
    // Logs, or counts, one connection from address (as logged) turned away
    // for reason. Returns true when it opened a window.
    bool refused(const QString &address, const QString &reason);
    // Logs what the window held back, if anything, and closes it.
    void endWindow(std::chrono::milliseconds length);

private:
    std::function<void(const QString &)> mLog;
    bool mOpen = false;
    QList<QString> mLogged; // addresses logged in this window, at most kLinesPerWindow
    qint64 mHeldBack = 0;
};

class ConnectionAdmission {
public:
    explicit ConnectionAdmission(std::function<void(const QString &)> log);

    void setRule(AdmissionRule rule) { mRule = std::move(rule); }
    const AdmissionRule &rule() const { return mRule; }
    // Seam: a shorter window, so tests need not wait a minute.
    void setWindow(std::chrono::milliseconds length) { mWindowLength = length; }

    // Whether a connection from peer may have a line. linesHeldBy counts the
    // lines a host (its address as logged) holds now; asked only when the
    // rule limits them. A refusal is logged (bounded).
    bool admit(const QHostAddress &peer, const std::function<int(const QString &)> &linesHeldBy);

private:
    AdmissionRule mRule;
    RefusalLog mLog;
    QTimer mWindowEnd;
    std::chrono::milliseconds mWindowLength = RefusalLog::kWindow;
};
