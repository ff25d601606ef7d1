#pragma once
// A player client for tests: one QTcpSocket on loopback, driven from the
// test's own thread, which is also the server's thread. Every wait runs the
// event loop (the server goes on working meanwhile) and wakes on the
// socket's own signals, with a timeout; nothing blocks the thread.
//
// Incoming bytes are collected as they arrive, also while the server keeps
// the thread inside a handler of its own (a song stream), so a test can
// look at them afterwards or react to them as they come (whenReceived).

#include <QByteArray>
#include <QObject>
#include <QTcpSocket>

#include <functional>
#include <vector>

class ProtocolClient : public QObject {
    Q_OBJECT
public:
    static constexpr int kDefaultTimeoutMs = 20000;

    explicit ProtocolClient(QObject *parent = nullptr);
    ~ProtocolClient() override;

    // Runs the event loop until the condition holds or the time is up;
    // returns the condition's last value. Wakes on this client's socket
    // signals and at least every few milliseconds for other conditions.
    bool waitUntil(const std::function<bool()> &condition, int timeoutMs = kDefaultTimeoutMs);

    bool connectToServer(quint16 port, int timeoutMs = kDefaultTimeoutMs);
    bool isConnected() const;
    // Writes the text and pushes it to the system at once.
    void send(const QByteArray &text);
    // Closes from this side (the server sees the peer's close).
    void close();
    // Waits for the server's close.
    bool waitForDisconnected(int timeoutMs = kDefaultTimeoutMs);

    // Everything received and not yet taken.
    qint64 available() const { return mReceived.size(); }
    // Total received over the connection's life.
    qint64 totalReceived() const { return mTotal; }
    // Waits until n bytes are there and takes them; on timeout takes what
    // there is (fewer than n).
    QByteArray readExactly(qint64 n, int timeoutMs = kDefaultTimeoutMs);
    // Takes whatever has arrived.
    QByteArray readAll();
    // Waits until at least n bytes are there (not taking them).
    bool waitForBytes(qint64 n, int timeoutMs = kDefaultTimeoutMs);
    // Runs action once, as soon as the connection's total reaches n bytes;
    // it runs inside the event loop, nested wherever the server is.
    void whenReceived(qint64 n, std::function<void()> action);
    // Stops collecting: from now on bytes stay in the system's buffers, so
    // the server's sends stop completing once those are full.
    void pauseReading(bool paused);

    QTcpSocket &socket() { return mSocket; }

private:
    void collect();
    void runTriggers();

    QTcpSocket mSocket;
    QByteArray mReceived;
    qint64 mTotal = 0;
    bool mPaused = false;
    struct Trigger {
        qint64 at;
        std::function<void()> action;
    };
    std::vector<Trigger> mTriggers;
};
