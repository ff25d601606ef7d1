#pragma once
// SIGINT, SIGTERM and SIGHUP (the terminal of a foreground server closing)
// as an ordinary event: the signal handler only writes a byte to a socket
// pair (async-signal-safe), and a QSocketNotifier on the other end emits
// received() from the event loop, where the exit work can run like any other
// handler (also nested inside a wait that lets events through).

#include <QObject>

class QSocketNotifier;

class TerminationSignals : public QObject {
    Q_OBJECT
public:
    // Creates the socket pair and installs the handlers. Call it early (before
    // the application object exists): a signal that arrives before the
    // notifier exists is kept in the pair and reported once it does.
    // Returns false where that is not possible; the signals then keep their
    // default action, as does a signal that was ignored when we started
    // (nohup). Idempotent.
    static bool install();

    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;

signals:
    void received(int signalNumber);

private:
    void readable();

    QSocketNotifier *mNotifier = nullptr;
};
