#pragma once
// A player client for tests: one QTcpSocket on loopback, driven from the
// test's own thread. Every wait runs the event loop with a timeout, so a
// server on the same thread goes on working meanwhile; a server in another
// process is waited for the same way.
//
// Bytes are collected as they arrive, also while the server keeps the
// thread inside a handler of its own (a song stream); whenReceived reacts
// to them there, nested wherever the server happens to be.

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTcpSocket>
#include <QTimer>

#include <functional>
#include <utility>

// Runs the event loop until the condition holds or the time is up; returns
// the condition's last value. Woken at once by the socket's bytes, if one is
// given; conditions no signal announces (a log line, a table cell, another
// process's descriptors) are looked at every few ms.
inline bool runEventsUntil(const std::function<bool()> &condition, int timeoutMs, QTcpSocket *wake = nullptr)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!condition() && !deadline.hasExpired()) {
        QEventLoop loop;
        if (wake)
            QObject::connect(wake, &QTcpSocket::readyRead, &loop, &QEventLoop::quit);
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return condition();
}

struct ProtocolClient {
    static constexpr int kTimeoutMs = 20000;

    ProtocolClient()
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this] { collect(); });
    }

    bool waitUntil(const std::function<bool()> &condition, int timeoutMs = kTimeoutMs)
    {
        return runEventsUntil(condition, timeoutMs, &socket);
    }

    // Connects and waits until the connection is made or has failed.
    bool connectTo(int port, const QHostAddress &host = QHostAddress(QHostAddress::LocalHost))
    {
        socket.connectToHost(host, quint16(port));
        waitUntil([&] {
            const QAbstractSocket::SocketState state = socket.state();
            return state == QAbstractSocket::ConnectedState || state == QAbstractSocket::UnconnectedState;
        });
        return socket.state() == QAbstractSocket::ConnectedState;
    }

    // What does not go at once goes while the event loop runs, in order.
    void send(const QByteArray &text) { socket.write(text), socket.flush(); }

    // Waits until n bytes are there and takes them; on timeout, what there is.
    QByteArray read(qint64 n)
    {
        waitUntil([&] { return collect(), mReceived.size() >= n; });
        return std::exchange(mReceived, mReceived.mid(n)).left(n);
    }

    qint64 available() const { return mReceived.size(); }

    // True once the peer has ended the connection, having sent nothing that
    // this client has not taken.
    bool endedSilently()
    {
        waitUntil([&] { return socket.state() != QAbstractSocket::ConnectedState; });
        collect();
        return socket.state() != QAbstractSocket::ConnectedState && available() == 0;
    }

    // Total received over the connection's life, taken or not.
    qint64 total() const { return mTotal; }

    // Runs the action once, as soon as the total reaches n bytes (one at a
    // time, set before the bytes come).
    void whenReceived(qint64 n, std::function<void()> action)
    {
        mTriggerAt = n, mTrigger = std::move(action);
    }

    // Call before connecting: the kernel then keeps no more than about this
    // much for the client, so that holding back reads soon holds back the
    // server's sends (loopback windows otherwise grow to many megabytes).
    void boundReceiveBuffer(int bytes)
    {
        socket.bind(QHostAddress::LocalHost);
        socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, bytes);
    }

    // While held, what arrives stays with Qt (a few KiB) and the kernel;
    // letting go takes it all in.
    void holdReads(bool hold)
    {
        mHeld = hold;
        socket.setReadBufferSize(hold ? 4096 : 0);
        if (!hold)
            collect();
    }

    qint16 line = -1; // the server's line for it, where a test has found out

    void collect()
    {
        if (mHeld)
            return;
        const QByteArray chunk = socket.isOpen() ? socket.readAll() : QByteArray();
        mReceived += chunk;
        mTotal += chunk.size();
        // Taken before it runs: the action may read, which collects again.
        if (mTrigger && mTotal >= mTriggerAt)
            std::exchange(mTrigger, {})();
    }

    QByteArray mReceived;
    qint64 mTotal = 0;
    qint64 mTriggerAt = 0;
    std::function<void()> mTrigger;
    bool mHeld = false;
    // Last, so that it goes first: nothing it emits meets a dead collector.
    QTcpSocket socket;
};
