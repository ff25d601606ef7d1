#include "ProtocolClient.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QTimer>

namespace {
// Conditions that no signal of this client announces (a log line, a table
// cell) are looked at again after this long at the latest.
constexpr int kRecheckMs = 5;
} // namespace

ProtocolClient::ProtocolClient(QObject *parent) : QObject(parent)
{
    connect(&mSocket, &QTcpSocket::readyRead, this, &ProtocolClient::collect);
}

ProtocolClient::~ProtocolClient()
{
    mSocket.disconnect(this);
    mSocket.abort();
}

bool ProtocolClient::waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return condition();
        QEventLoop loop;
        QTimer recheck;
        recheck.setSingleShot(true);
        connect(&recheck, &QTimer::timeout, &loop, &QEventLoop::quit);
        connect(&mSocket, &QTcpSocket::readyRead, &loop, &QEventLoop::quit);
        connect(&mSocket, &QTcpSocket::connected, &loop, &QEventLoop::quit);
        connect(&mSocket, &QTcpSocket::disconnected, &loop, &QEventLoop::quit);
        connect(&mSocket, &QTcpSocket::bytesWritten, &loop, &QEventLoop::quit);
        recheck.start(int(qBound<qint64>(0, deadline.remainingTime(), qint64(kRecheckMs))));
        loop.exec();
    }
    return true;
}

bool ProtocolClient::connectToServer(quint16 port, int timeoutMs)
{
    mSocket.connectToHost(QHostAddress::LocalHost, port);
    return waitUntil([this] { return mSocket.state() == QAbstractSocket::ConnectedState; }, timeoutMs);
}

bool ProtocolClient::isConnected() const
{
    return mSocket.state() == QAbstractSocket::ConnectedState;
}

void ProtocolClient::send(const QByteArray &text)
{
    mSocket.write(text);
    mSocket.flush();
}

void ProtocolClient::close()
{
    mSocket.abort();
}

bool ProtocolClient::waitForDisconnected(int timeoutMs)
{
    return waitUntil([this] { return mSocket.state() == QAbstractSocket::UnconnectedState; }, timeoutMs);
}

QByteArray ProtocolClient::readExactly(qint64 n, int timeoutMs)
{
    waitForBytes(n, timeoutMs);
    const QByteArray out = mReceived.left(n);
    mReceived.remove(0, out.size());
    return out;
}

QByteArray ProtocolClient::readAll()
{
    collect();
    return std::exchange(mReceived, QByteArray());
}

bool ProtocolClient::waitForBytes(qint64 n, int timeoutMs)
{
    return waitUntil(
        [this, n] {
            collect();
            return mReceived.size() >= n;
        },
        timeoutMs);
}

void ProtocolClient::whenReceived(qint64 n, std::function<void()> action)
{
    mTriggers.push_back({n, std::move(action)});
    runTriggers();
}

void ProtocolClient::pauseReading(bool paused)
{
    mPaused = paused;
    // A small read buffer makes the socket leave the rest in the system.
    mSocket.setReadBufferSize(paused ? 1 : 0);
    if (!paused)
        QTimer::singleShot(0, this, &ProtocolClient::collect);
}

void ProtocolClient::collect()
{
    if (mPaused)
        return;
    const QByteArray chunk = mSocket.readAll();
    if (chunk.isEmpty())
        return;
    mReceived += chunk;
    mTotal += chunk.size();
    runTriggers();
}

void ProtocolClient::runTriggers()
{
    // An action may add triggers or read: take the due ones out first.
    std::vector<Trigger> due;
    for (auto it = mTriggers.begin(); it != mTriggers.end();) {
        if (mTotal >= it->at) {
            due.push_back(std::move(*it));
            it = mTriggers.erase(it);
        } else {
            ++it;
        }
    }
    for (Trigger &t : due)
        t.action();
}
