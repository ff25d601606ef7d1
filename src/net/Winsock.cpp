#include "net/Winsock.h"

#include <QCoreApplication>
#include <QEvent>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

#ifdef Q_OS_WIN
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

// A client that floods us is held back by TCP once this much is buffered and
// unread; the protocol's messages are a few bytes long.
constexpr qint64 kReadBufferSize = 64 * 1024;

// Keep-alive of accepted connections: a peer that vanished (a sleeping
// phone, a dropped Wi-Fi link) is given up after about two minutes.
constexpr int kKeepAliveIdleSeconds = 60;
constexpr int kKeepAliveIntervalSeconds = 10;
constexpr int kKeepAliveProbes = 5;

// The request handed to the ConnectionRequest handler that is running now and
// whether some socket took it; requests nobody took are closed afterwards.
qintptr sTakenRequest = -1;

const QEvent::Type kWinsockEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

enum class Delivery { Data, Send, Closed, Failed };

// Posted to the object itself: delivery happens later through the event loop,
// so handlers never run inside a Qt socket signal (where Qt suppresses nested
// readyRead/bytesWritten) and never inside SendData.
struct WinsockEvent : QEvent {
    WinsockEvent(Delivery kind, quint64 generation)
        : QEvent(kWinsockEventType), kind(kind), generation(generation) {}
    Delivery kind;
    quint64 generation;
};

QString addressText(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4)
        return QHostAddress(v4).toString();
    return address.toString();
}

int errorNumberFor(QAbstractSocket::SocketError kind)
{
    switch (kind) {
    case QAbstractSocket::ConnectionRefusedError: return 10061;
    case QAbstractSocket::RemoteHostClosedError: return 10054;
    case QAbstractSocket::HostNotFoundError: return 11001;
    case QAbstractSocket::SocketAccessError: return 10013;
    case QAbstractSocket::SocketResourceError: return 10024;
    case QAbstractSocket::SocketTimeoutError: return 10060;
    case QAbstractSocket::DatagramTooLargeError: return 10040;
    case QAbstractSocket::NetworkError: return 10050;
    case QAbstractSocket::AddressInUseError: return 10048;
    case QAbstractSocket::SocketAddressNotAvailableError: return 10049;
    case QAbstractSocket::UnsupportedSocketOperationError: return 10045;
    case QAbstractSocket::UnfinishedSocketOperationError: return 10036;
    case QAbstractSocket::OperationError: return 10022;
    default: return 10053;
    }
}

SocketError makeError(int number, const QString &description)
{
    return SocketError{number, description};
}

SocketError errorFor(QAbstractSocket::SocketError kind, const QString &qtText)
{
    const int number = errorNumberFor(kind);
    if (!qtText.isEmpty())
        return makeError(number, qtText);
    return makeError(number, QStringLiteral("Socket error"));
}

void setError(SocketError *out, const SocketError &e)
{
    if (out)
        *out = e;
}

void setIntOption([[maybe_unused]] qintptr fd, [[maybe_unused]] int level, [[maybe_unused]] int name,
                  [[maybe_unused]] int value)
{
#ifdef Q_OS_WIN
    ::setsockopt(static_cast<SOCKET>(fd), level, name, reinterpret_cast<const char *>(&value), sizeof value);
#else
    ::setsockopt(static_cast<int>(fd), level, name, &value, sizeof value);
#endif
}

// SO_KEEPALIVE is set through Qt; the timings only where the platform names them.
void tuneKeepAlive([[maybe_unused]] qintptr fd)
{
#ifdef TCP_KEEPIDLE
    setIntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, kKeepAliveIdleSeconds);
#endif
#ifdef TCP_KEEPINTVL
    setIntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, kKeepAliveIntervalSeconds);
#endif
#ifdef TCP_KEEPCNT
    setIntOption(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepAliveProbes);
#endif
}

// The close that follows sends a reset and drops what is still queued.
void resetOnClose(qintptr fd)
{
    struct linger abortive = {};
    abortive.l_onoff = 1;
    abortive.l_linger = 0;
#ifdef Q_OS_WIN
    ::setsockopt(static_cast<SOCKET>(fd), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&abortive), sizeof abortive);
#else
    ::setsockopt(static_cast<int>(fd), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
#endif
}

} // namespace

class RequestServer : public QTcpServer {
public:
    explicit RequestServer(Winsock *owner) : QTcpServer(owner), mOwner(owner) {}
    bool raising = false;

protected:
    void incomingConnection(qintptr handle) override
    {
        if (!raising) {
            Winsock::refuseRequest(handle);
            return;
        }
        const qintptr outer = sTakenRequest;
        sTakenRequest = -1;
        emit mOwner->ConnectionRequest(mOwner->index(), handle);
        const bool taken = sTakenRequest == handle;
        sTakenRequest = outer;
        if (!taken)
            Winsock::refuseRequest(handle);
    }

private:
    Winsock *mOwner;
};

struct Winsock::Impl {
    explicit Impl(Winsock *owner) : q(owner)
    {
        stallTimer.setSingleShot(true);
        stallTimer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&stallTimer, &QTimer::timeout, q, [this] { onStallTimer(); });
    }
    Winsock *q;
    RequestServer *server = nullptr;   // bound (and maybe listening)
    QTcpSocket *socket = nullptr;      // accepted connection
    quint64 generation = 0;
    bool detached = false;
    bool failed = false;               // an error ended the last use
    bool peerClosed = false;           // the peer ended the connection
    bool endPosted = false;            // Close or Error event already on its way
    bool dataPosted = false;
    bool arrived = false;              // bytes arrived that no DataArrival announced yet
    bool sendPosted = false;
    bool sendOutstanding = false;      // a SendData since the last SendComplete
    qint64 batchSent = 0;              // bytes written to the OS since the last SendComplete
    SocketError pendingError;
    quint16 localPort = 0;
    QString localIP;                   // of the connection, kept after it ends
    QString remoteIP;
    quint16 remotePort = 0;
    // Runs only while bytes of a send wait here for the OS; restarted by
    // every progress. stallDeadline says when it fires.
    QTimer stallTimer;
    QDeadlineTimer stallDeadline{QDeadlineTimer::Forever};
    std::chrono::milliseconds stallLimit = Winsock::kStallLimit;
    // Linux: a second descriptor of the connection. Qt has closed its own by
    // the time it reports the peer's close, and reports a reset the same
    // way; through this one the TCP state can still be read then.
    int watch = -1;

    void post(Delivery kind)
    {
        QCoreApplication::postEvent(q, new WinsockEvent(kind, generation));
    }

    void postData()
    {
        if (dataPosted || detached)
            return;
        dataPosted = true;
        post(Delivery::Data);
    }

    void postSend()
    {
        if (sendPosted || detached)
            return;
        sendPosted = true;
        post(Delivery::Send);
    }

    void postEnd(Delivery kind)
    {
        if (endPosted || detached)
            return;
        endPosted = true;
        post(kind);
    }

    bool live() const
    {
        return (server && server->isListening())
               || (socket && !peerClosed && !failed
                   && socket->state() == QAbstractSocket::ConnectedState);
    }

    // Ends the current use silently: nothing it owned will report anything.
    void teardown()
    {
        ++generation;
        dataPosted = arrived = sendPosted = sendOutstanding = endPosted = false;
        peerClosed = failed = false;
        batchSent = 0;
        disarmStall();
        closeWatch();
        if (socket) {
            // Qt emits disconnected() synchronously from abort(): cut the
            // wires first so a close we ask for never looks like the peer's.
            QObject::disconnect(socket, nullptr, q, nullptr);
            socket->abort();
            socket->deleteLater();
            socket = nullptr;
        }
        if (server) {
            QObject::disconnect(server, nullptr, q, nullptr);
            server->raising = false;
            server->close();
            server->deleteLater();
            server = nullptr;
        }
        localIP.clear();
        remoteIP.clear();
        remotePort = 0;
    }

    void watchConnection()
    {
#ifdef Q_OS_LINUX
        watch = ::fcntl(static_cast<int>(socket->socketDescriptor()), F_DUPFD_CLOEXEC, 0);
#endif
    }

    void closeWatch()
    {
#ifdef Q_OS_LINUX
        if (watch >= 0)
            ::close(watch);
#endif
        watch = -1;
    }

    // After the peer's FIN the connection waits in CLOSE_WAIT for our close;
    // a reset has closed it already.
    bool peerReset() const
    {
#ifdef Q_OS_LINUX
        tcp_info info = {};
        socklen_t size = sizeof info;
        return watch >= 0 && ::getsockopt(watch, IPPROTO_TCP, TCP_INFO, &info, &size) == 0
               && info.tcpi_state == TCP_CLOSE;
#else
        return false;
#endif
    }

    void restartStall()
    {
        stallDeadline.setRemainingTime(stallLimit, Qt::PreciseTimer);
        stallTimer.start(stallLimit);
    }

    // Bytes of a send are waiting here: the limit runs unless it runs already
    // (a send made while the previous one is stuck is no progress).
    void armStall()
    {
        if (!stallTimer.isActive())
            restartStall();
    }

    void noteProgress()
    {
        if (socket && socket->bytesToWrite() > 0)
            restartStall();
        else
            disarmStall();
    }

    void disarmStall()
    {
        stallTimer.stop();
        stallDeadline = QDeadlineTimer(QDeadlineTimer::Forever);
    }

    void onStallTimer()
    {
        disarmStall();
        if (!socket || failed || peerClosed || socket->bytesToWrite() == 0)
            return;
        failed = true;
        pendingError = makeError(10060, QStringLiteral("Connection timed out"));
        // The peer takes nothing: what is queued for it could never be
        // delivered, and a plain close would leave the OS retrying it for
        // minutes. A reset frees the connection at once.
        resetOnClose(socket->socketDescriptor());
        postEnd(Delivery::Failed);
    }

    void onReadyRead()
    {
        arrived = true;
        postData();
    }

    void onBytesWritten(qint64 n)
    {
        batchSent += n;
        noteProgress();
        postSend();
    }

    void onDisconnected()
    {
        closeWatch();
        if (failed)
            return;
        disarmStall();
        peerClosed = true;
        postEnd(Delivery::Closed);
    }

    void onSocketError(QAbstractSocket::SocketError kind)
    {
        if (peerClosed || failed)
            return;
        if (kind == QAbstractSocket::RemoteHostClosedError) {
            const bool reset = peerReset();
            closeWatch();
            // An orderly close is followed by disconnected(): the Close event.
            if (!reset)
                return;
            pendingError = makeError(10054, QStringLiteral("Connection reset by peer"));
        } else {
            pendingError = errorFor(kind, socket ? socket->errorString() : QString());
        }
        failed = true;
        disarmStall();
        postEnd(Delivery::Failed);
    }

    void onAcceptError(QAbstractSocket::SocketError kind)
    {
        if (failed)
            return;
        failed = true;
        pendingError = errorFor(kind, server ? server->errorString() : QString());
        postEnd(Delivery::Failed);
    }
};

Winsock::Winsock(qint16 index, QObject *parent) : QObject(parent), mIndex(index), d(new Impl(this))
{
}

Winsock::~Winsock()
{
    d->detached = true;
    d->teardown();
    delete d;
}

bool Winsock::Bind(quint16 localPort, const QString &localIP, SocketError *error)
{
    if (d->detached || d->live()) {
        setError(error, makeError(10022, QStringLiteral("Invalid argument: the socket is already in use")));
        return false;
    }
    QHostAddress address(QHostAddress::AnyIPv4);
    const QString text = localIP.trimmed();
    if (!text.isEmpty() && !address.setAddress(text)) {
        setError(error, makeError(10049, QStringLiteral("Address is not available from the local machine: ") + text));
        return false;
    }
    // "::" read literally would listen on IPv6 alone; Qt's Any is the same
    // socket with IPv4 clients let in as well, where the system allows it.
    if (address == QHostAddress(QHostAddress::AnyIPv6))
        address = QHostAddress(QHostAddress::Any);
    d->teardown();
    auto *server = new RequestServer(this);
    if (!server->listen(address, localPort)) {
        setError(error, errorFor(server->serverError(), server->errorString()));
        delete server;
        return false;
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
    if (d->detached || !d->server || d->failed) {
        setError(error, makeError(10022, QStringLiteral("Invalid argument: the socket is not bound")));
        return false;
    }
    if (!d->server->raising) {
        d->server->raising = true;
        d->server->resumeAccepting();
    }
    return true;
}

bool Winsock::Accept(qintptr requestID, SocketError *error)
{
    if (d->detached || d->live()) {
        setError(error, makeError(10022, QStringLiteral("Invalid argument: the socket is already in use")));
        return false;
    }
    if (requestID < 0) {
        setError(error, makeError(10022, QStringLiteral("Invalid argument: no such connection request")));
        return false;
    }
    d->teardown();
    auto *socket = new QTcpSocket(this);
    socket->setReadBufferSize(kReadBufferSize);
    if (!socket->setSocketDescriptor(requestID)) {
        setError(error, errorFor(socket->error(), socket->errorString()));
        delete socket;
        return false;
    }
    d->socket = socket;
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    tuneKeepAlive(socket->socketDescriptor());
    d->watchConnection();
    d->localIP = addressText(socket->localAddress());
    d->localPort = socket->localPort();
    d->remoteIP = addressText(socket->peerAddress());
    d->remotePort = socket->peerPort();
    connect(socket, &QIODevice::readyRead, this, [this] { d->onReadyRead(); });
    connect(socket, &QIODevice::bytesWritten, this, [this](qint64 n) { d->onBytesWritten(n); });
    connect(socket, &QAbstractSocket::disconnected, this, [this] { d->onDisconnected(); });
    connect(socket, &QAbstractSocket::errorOccurred, this,
            [this](QAbstractSocket::SocketError kind) { d->onSocketError(kind); });
    sTakenRequest = requestID;
    // Bytes the client sent before the accept are already waiting.
    if (socket->bytesAvailable() > 0)
        d->onReadyRead();
    return true;
}

bool Winsock::SendData(const QByteArray &data, SocketError *error)
{
    QTcpSocket *socket = d->socket;
    if (d->detached || !socket || d->peerClosed || d->failed
        || socket->state() != QAbstractSocket::ConnectedState) {
        setError(error, makeError(10057, QStringLiteral("Socket is not connected")));
        return false;
    }
    if (!data.isEmpty()) {
        qint64 direct = 0;
#ifdef Q_OS_UNIX
        // Nothing queued before: straight to the OS. Going through Qt's
        // buffer would switch its write notifier on and off for every piece,
        // which costs the event loop several system calls per piece.
        if (socket->bytesToWrite() == 0) {
            const ssize_t n = ::send(static_cast<int>(socket->socketDescriptor()), data.constData(),
                                     size_t(data.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                direct = n;
            // Any failure is left to Qt below, which reports it as an event.
        }
#endif
        if (direct < data.size()) {
            const qint64 rest = data.size() - direct;
            if (socket->write(data.constData() + direct, rest) != rest) {
                if (direct == 0) {
                    setError(error, errorFor(socket->error(), socket->errorString()));
                    return false;
                }
            }
        }
        if (direct > 0)
            d->batchSent += direct;
        if (direct == data.size() && socket->bytesToWrite() == 0) {
            // The OS took every byte at once: the send is complete now. Going
            // through the event loop instead would cost each piece of a
            // stream a wake-up of the loop (two more system calls).
            d->sendOutstanding = false;
            const qint64 sent = d->batchSent;
            d->batchSent = 0;
            QPointer<Winsock> self(this);
            const quint64 generation = d->generation;
            emit SendProgress(mIndex, sent, 0);
            if (self && !d->detached && d->generation == generation)
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

QString Winsock::LocalIP() const
{
    if (d->socket)
        return d->localIP;
    if (d->server) {
        const QHostAddress address = d->server->serverAddress();
        if (address.isNull() || address == QHostAddress(QHostAddress::AnyIPv4)
            || address == QHostAddress(QHostAddress::Any) || address == QHostAddress(QHostAddress::AnyIPv6))
            return primaryIPv4();
        return addressText(address);
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

void Winsock::setStallLimit(std::chrono::milliseconds limit)
{
    d->stallLimit = std::max(limit, std::chrono::milliseconds(1));
    if (d->stallTimer.isActive())
        d->restartStall();
}

QDeadlineTimer Winsock::stallDeadline() const
{
    return d->stallDeadline;
}

void Winsock::refuseRequest(qintptr requestID)
{
    if (requestID < 0)
        return;
#ifdef Q_OS_WIN
    ::closesocket(static_cast<SOCKET>(requestID));
#else
    ::close(static_cast<int>(requestID));
#endif
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

bool Winsock::event(QEvent *e)
{
    if (e->type() != kWinsockEventType)
        return QObject::event(e);
    const auto *we = static_cast<WinsockEvent *>(e);
    if (d->detached || we->generation != d->generation)
        return true; // meant for an earlier use of this object
    QPointer<Winsock> self(this);
    const quint64 generation = d->generation;
    auto stillCurrent = [&] { return self && !d->detached && d->generation == generation; };

    switch (we->kind) {
    case Delivery::Data: {
        d->dataPosted = false;
        if (!d->socket || !d->arrived)
            return true;
        d->arrived = false;
        const qint64 available = d->socket->bytesAvailable();
        if (available <= 0)
            return true;
        emit DataArrival(mIndex, available);
        // Bytes that came in while the handler ran and were announced by
        // nobody still get their DataArrival.
        if (stillCurrent() && d->arrived && d->socket && d->socket->bytesAvailable() > 0)
            d->postData();
        return true;
    }
    case Delivery::Send: {
        d->sendPosted = false;
        if (!d->socket || d->peerClosed || d->failed)
            return true;
        const qint64 remaining = d->socket->bytesToWrite();
        if (d->batchSent > 0) {
            emit SendProgress(mIndex, d->batchSent, remaining);
            if (!stillCurrent() || !d->socket)
                return true;
        }
        if (d->sendOutstanding && d->socket->bytesToWrite() == 0) {
            d->sendOutstanding = false;
            d->batchSent = 0;
            emit SendComplete(mIndex);
        }
        return true;
    }
    case Delivery::Closed:
        emit PeerClosed(mIndex);
        return true;
    case Delivery::Failed: {
        // A failed socket or listener is finished: release the OS resources
        // now (a listener's port above all) and keep only what the handler
        // may log.
        const SocketError err = d->pendingError;
        d->disarmStall();
        d->closeWatch();
        if (d->server) {
            QObject::disconnect(d->server, nullptr, this, nullptr);
            d->server->raising = false;
            d->server->close();
        }
        if (d->socket) {
            QObject::disconnect(d->socket, nullptr, this, nullptr);
            d->socket->abort();
        }
        emit Error(mIndex, err.number, err.description);
        return true;
    }
    }
    return true;
}
