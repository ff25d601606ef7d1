// The operations and properties of a socket object, and the life of one use
// of it (bound or listening, or one accepted connection).
#include "net/WinsockImpl.h"

#include <QHostAddress>
#include <QNetworkInterface>

#include <utility>

namespace {

// A client that floods us is held back by TCP once this much is buffered and
// unread; the protocol's messages are a few bytes long.
constexpr qint64 kReadBufferSize = 64 * 1024;

bool fail(SocketError *out, int number, const QString &description)
{
    if (out)
        *out = SocketError{number, description};
    return false;
}

bool fail(SocketError *out, const SocketError &error)
{
    return fail(out, error.number, error.description);
}

} // namespace

Winsock::Impl::Impl(Winsock *owner) : q(owner)
{
    stallTimer.setSingleShot(true);
    stallTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&stallTimer, &QTimer::timeout, q, [this] { onStallTimer(); });
}

bool Winsock::Impl::live() const
{
    return (server && server->isListening())
           || (socket && !peerClosed && !failed && socket->state() == QAbstractSocket::ConnectedState);
}

void Winsock::Impl::releaseOs()
{
    disarmStall();
    resetWatch.close();
    if (server) {
        QObject::disconnect(server, nullptr, q, nullptr);
        server->raising = false;
        server->close();
    }
    if (socket) {
        // Qt emits disconnected() synchronously from abort(): cut the wires
        // first so a close we ask for never looks like the peer's.
        QObject::disconnect(socket, nullptr, q, nullptr);
        socket->abort();
    }
}

void Winsock::Impl::teardown()
{
    ++generation;
    dataPosted = arrived = sendPosted = sendOutstanding = endPosted = false;
    peerClosed = failed = false;
    batchSent = 0;
    releaseOs();
    if (socket) {
        socket->deleteLater();
        socket = nullptr;
    }
    if (server) {
        server->deleteLater();
        server = nullptr;
    }
    localIP.clear();
    remoteIP.clear();
    remotePort = 0;
}

Winsock::Winsock(qint16 index, QObject *parent)
    : QObject(parent), mIndex(index), d(std::make_unique<Impl>(this))
{
}

Winsock::~Winsock()
{
    d->detached = true;
    d->teardown();
}

bool Winsock::Bind(quint16 localPort, const QString &localIP, SocketError *error)
{
    if (d->detached || d->live())
        return fail(error, 10022, QStringLiteral("Invalid argument: the socket is already in use"));
    QHostAddress address(QHostAddress::AnyIPv4);
    const QString text = localIP.trimmed();
    if (!text.isEmpty() && !address.setAddress(text))
        return fail(error, 10049, QStringLiteral("Address is not available from the local machine: ") + text);
    // "::" read literally would listen on IPv6 alone; Qt's Any is the same
    // socket with IPv4 clients let in as well, where the system allows it.
    if (address == QHostAddress(QHostAddress::AnyIPv6))
        address = QHostAddress(QHostAddress::Any);
    d->teardown();
    auto *server = new Impl::RequestServer(*d);
    if (!server->listen(address, localPort)) {
        const SocketError failure = SocketErrors::fromQt(server->serverError(), server->errorString());
        delete server;
        return fail(error, failure);
    }
    // Requests are raised from Listen on; until then they wait in the backlog.
    server->pauseAccepting();
    d->server = server;
    d->localPort = server->serverPort();
    connect(server, &QTcpServer::acceptError, this,
            [this](QAbstractSocket::SocketError kind) { d->onAcceptError(kind); });
    return true;
}

bool Winsock::Listen(SocketError *error)
{
    if (d->detached || !d->server || d->failed)
        return fail(error, 10022, QStringLiteral("Invalid argument: the socket is not bound"));
    if (!d->server->raising) {
        d->server->raising = true;
        d->server->resumeAccepting();
    }
    return true;
}

bool Winsock::Accept(qintptr requestID, SocketError *error)
{
    if (d->detached || d->live())
        return fail(error, 10022, QStringLiteral("Invalid argument: the socket is already in use"));
    if (requestID < 0)
        return fail(error, 10022, QStringLiteral("Invalid argument: no such connection request"));
    d->teardown();
    auto *socket = new QTcpSocket(this);
    socket->setReadBufferSize(kReadBufferSize);
    if (!socket->setSocketDescriptor(requestID)) {
        const SocketError failure = SocketErrors::fromQt(socket->error(), socket->errorString());
        delete socket;
        return fail(error, failure);
    }
    d->socket = socket;
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    PlatformSocket::tuneKeepAlive(socket->socketDescriptor());
    d->resetWatch.watch(socket->socketDescriptor());
    d->localIP = SocketErrors::addressText(socket->localAddress());
    d->localPort = socket->localPort();
    d->remoteIP = SocketErrors::addressText(socket->peerAddress());
    d->remotePort = socket->peerPort();
    connect(socket, &QIODevice::readyRead, this, [this] { d->onReadyRead(); });
    connect(socket, &QIODevice::bytesWritten, this, [this](qint64 n) { d->onBytesWritten(n); });
    connect(socket, &QAbstractSocket::disconnected, this, [this] { d->onDisconnected(); });
    connect(socket, &QAbstractSocket::errorOccurred, this,
            [this](QAbstractSocket::SocketError kind) { d->onSocketError(kind); });
    // Bytes the client sent before the accept are already waiting.
    if (socket->bytesAvailable() > 0)
        d->onReadyRead();
    return true;
}

bool Winsock::SendData(const QByteArray &data, SocketError *error)
{
    QTcpSocket *socket = d->socket;
    if (d->detached || !socket || d->peerClosed || d->failed || socket->state() != QAbstractSocket::ConnectedState)
        return fail(error, 10057, QStringLiteral("Socket is not connected"));
    if (!data.isEmpty()) {
        // Nothing queued before: straight to the OS. Going through Qt's
        // buffer would switch its write notifier on and off for every piece,
        // which costs the event loop several system calls per piece. Any
        // failure is left to Qt below, which reports it as an event.
        const qint64 direct = socket->bytesToWrite() == 0
                                  ? PlatformSocket::sendNow(socket->socketDescriptor(), data.constData(), data.size())
                                  : 0;
        if (direct < data.size()) {
            const qint64 rest = data.size() - direct;
            if (socket->write(data.constData() + direct, rest) != rest && direct == 0)
                return fail(error, SocketErrors::fromQt(socket->error(), socket->errorString()));
        }
        d->batchSent += direct;
        if (direct == data.size() && socket->bytesToWrite() == 0) {
            // The OS took every byte at once: the send is complete now. Going
            // through the event loop instead would cost each piece of a
            // stream a wake-up of the loop (two more system calls).
            d->sendOutstanding = false;
            const qint64 sent = std::exchange(d->batchSent, 0);
            const Impl::Use use = d->currentUse();
            emit SendProgress(mIndex, sent, 0);
            if (use.current())
                emit SendComplete(mIndex);
            return true;
        }
    }
    if (socket->bytesToWrite() > 0)
        d->armStall();
    d->sendOutstanding = true;
    d->postSend();
    return true;
}

QByteArray Winsock::GetData()
{
    if (!d->socket)
        return {};
    return d->socket->readAll();
}

void Winsock::Close()
{
    d->teardown();
}

void Winsock::detach()
{
    d->detached = true;
    d->teardown();
}

void Winsock::requestTaken(qintptr requestID)
{
    if (requestID >= 0 && requestID == d->offeredRequest)
        d->offerTaken = true;
}

QString Winsock::LocalIP() const
{
    if (d->socket)
        return d->localIP;
    if (d->server) {
        const QHostAddress address = d->server->serverAddress();
        if (address.isNull() || address == QHostAddress(QHostAddress::AnyIPv4)
            || address == QHostAddress(QHostAddress::Any) || address == QHostAddress(QHostAddress::AnyIPv6))
            return primaryIPv4();
        return SocketErrors::addressText(address);
    }
    return primaryIPv4();
}

quint16 Winsock::LocalPort() const
{
    return d->localPort;
}

void Winsock::setLocalPort(quint16 port)
{
    if (!d->socket && !d->server)
        d->localPort = port;
}

QString Winsock::RemoteHostIP() const
{
    return d->remoteIP;
}

quint16 Winsock::RemotePort() const
{
    return d->remotePort;
}

int Winsock::State() const
{
    if (d->failed)
        return sckError;
    if (d->peerClosed)
        return sckClosing;
    if (d->socket)
        return d->socket->state() == QAbstractSocket::ConnectedState ? sckConnected : sckClosed;
    if (d->server)
        return d->server->raising ? sckListening : sckOpen;
    return sckClosed;
}

qint64 Winsock::BytesReceived() const
{
    return d->socket ? d->socket->bytesAvailable() : 0;
}

qintptr Winsock::SocketHandle() const
{
    // After the peer's close Qt still answers the number it has closed.
    return State() == sckConnected ? d->socket->socketDescriptor() : qintptr(-1);
}

QString Winsock::primaryIPv4()
{
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &iface : interfaces) {
        const auto flags = iface.flags();
        if (!flags.testFlag(QNetworkInterface::IsUp) || !flags.testFlag(QNetworkInterface::IsRunning)
            || flags.testFlag(QNetworkInterface::IsLoopBack))
            continue;
        const auto entries = iface.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            const QHostAddress ip = entry.ip();
            if (ip.protocol() == QAbstractSocket::IPv4Protocol && !ip.isLoopback())
                return ip.toString();
        }
    }
    return QStringLiteral("127.0.0.1");
}
