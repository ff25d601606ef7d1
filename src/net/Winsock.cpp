// The operations and properties of a socket object, and the life of one use
// of it (bound or listening, or one accepted connection).
#include "net/WinsockImpl.h"

#include <QHostAddress>
#include <QNetworkInterface>

#include <cerrno>
#include <system_error>
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
}

bool Winsock::Impl::live() const
{
    return (server && server->isListening())
            || (socket && !peerClosed && !failed && socket->state() == QAbstractSocket::ConnectedState);
}

void Winsock::Impl::releaseOs()
{
    disarmStall();
    // The second descriptor would keep the connection open after Qt's goes.
    roomWaiting = false;
    delete std::exchange(roomNotifier, nullptr);
    PlatformSocket::closeDescriptor(std::exchange(roomDescriptor, qintptr(-1)));
    resetWatch.close();
    if (server) {
        QObject::disconnect(server, nullptr, q, nullptr);
        server->stopRaising();
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
    osTaken = peerTaken = 0;
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
    return true;
}

bool Winsock::Listen(SocketError *error)
{
    if (d->detached || !d->server || d->failed)
        return fail(error, 10022, QStringLiteral("Invalid argument: the socket is not bound"));
    if (!d->server->raising)
        d->server->startRaising();
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
    // Nagle's algorithm would hold the short last segment of a reply or of a
    // song piece until the peer acknowledges what went before, which a peer
    // with delayed acknowledgement does only after some 40 ms: every send is
    // one whole message or piece, so each leaves at once (TCP_NODELAY).
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
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

bool Winsock::Impl::canSend() const
{
    return !detached && socket && !peerClosed && !failed
            && socket->state() == QAbstractSocket::ConnectedState;
}

bool Winsock::Impl::hand(qint64 taken, const QByteArray &rest, SocketError *error)
{
    qint64 direct = 0;
    if (!rest.isEmpty()) {
        // Nothing queued before: straight to the OS. Going through Qt's
        // buffer would switch its write notifier on and off for every piece,
        // which costs the event loop several system calls per piece. Any
        // failure is left to Qt below, which reports it as an event.
        if (socket->bytesToWrite() == 0)
            direct = PlatformSocket::sendNow(socket->socketDescriptor(), rest.constData(), rest.size());
        if (direct < rest.size()) {
            // Given whole, Qt queues the array itself instead of a copy.
            const qint64 left = rest.size() - direct;
            const qint64 queued
                    = direct == 0 ? socket->write(rest) : socket->write(rest.constData() + direct, left);
            if (queued != left && taken + direct == 0)
                return fail(error, SocketErrors::fromQt(socket->error(), socket->errorString()));
        }
    }
    batchSent += taken + direct;
    osTaken += taken + direct;
    // Bytes the OS took are not delivered until the peer has them.
    if (taken + rest.size() > 0)
        armStall();
    if (taken + rest.size() > 0 && direct == rest.size() && socket->bytesToWrite() == 0) {
        // The OS took every byte at once: the send is complete now. Going
        // through the event loop instead would cost each piece of a stream
        // a wake-up of the loop (two more system calls).
        sendOutstanding = false;
        const qint64 sent = std::exchange(batchSent, 0);
        const Use use = currentUse();
        emit q->SendProgress(q->mIndex, sent, 0);
        if (use.current())
            emit q->SendComplete(q->mIndex);
        return true;
    }
    sendOutstanding = true;
    postSend();
    return true;
}

bool Winsock::SendData(const QByteArray &data, SocketError *error)
{
    if (!d->canSend())
        return fail(error, 10057, QStringLiteral("Socket is not connected"));
    return d->hand(0, data, error);
}

bool Winsock::SendFile(int file, qint64 offset, qint64 length, FilePiece *piece, SocketError *error)
{
    *piece = FilePiece{};
    if (!d->canSend())
        return fail(error, 10057, QStringLiteral("Socket is not connected"));
    // Straight from the file, as much as the OS takes now, while nothing
    // waits in Qt's queue. What it does not take is left to the next piece:
    // read into memory here it would cost two copies of every such byte.
    int why = ENOSYS;
    const qint64 direct = d->socket->bytesToWrite() == 0
            ? PlatformSocket::sendFileNow(d->socket->socketDescriptor(), file, offset, length, &why)
            : 0;
    const bool full = direct < length && why == EAGAIN;
    const bool ended = direct < length && why == 0;
    if (direct == length || ended || (full && direct > 0)) {
        piece->bytes = direct;
        if (ended)
            piece->fileError = QStringLiteral("it ended early");
        return direct == 0 || d->hand(direct, QByteArray(), error);
    }
    if (full && d->waitForRoom())
        return true;
    // The platform cannot send from a file, the call failed, or the socket
    // is full with no way to wait for room: the rest is read and sent as
    // text is. The read alone tells what the file still holds.
    QByteArray rest(length - direct, Qt::Uninitialized);
    int readError = 0;
    rest.truncate(PlatformSocket::readFileAt(file, offset + direct, rest.data(), rest.size(), &readError));
    if (rest.size() < length - direct)
        piece->fileError = readError == 0
                ? QStringLiteral("it ended early")
                : QString::fromStdString(std::generic_category().message(readError));
    piece->bytes = direct + rest.size();
    return piece->bytes == 0 || d->hand(direct, rest, error);
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

void Winsock::raiseDescriptorLimit()
{
    PlatformSocket::raiseDescriptorLimit();
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
