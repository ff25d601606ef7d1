#include "app/web/HttpFrontEnd.h"

#include <QAbstractHttpServer>
#include <QDeadlineTimer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {
// What the server knows of one connection; a child of its socket, so it
// goes with it.
class Connection : public QObject {
public:
    static constexpr const char *kName = "vorlune-http-connection";
    explicit Connection(QTcpSocket *socket) : QObject(socket) { setObjectName(QLatin1String(kName)); }

    qint64 held = 0;            // bytes Qt's parser took toward a request not yet complete
    qint64 availableBefore = 0; // unread bytes when the current read began
    bool completed = false;     // a request was completed by the current read
    bool refused = false;       // answered with an error; what comes is dropped
    qint64 lastRequest = 0;     // steady clock, ms; the connection's start until a request comes
    bool served = false;        // a request came
    QTimer idle;
};

Connection *connectionOf(QTcpSocket *socket)
{
    // By name: the class has no meta-object of its own for findChild to tell it by.
    QObject *child = socket ? socket->findChild<QObject *>(QLatin1String(Connection::kName), Qt::FindDirectChildrenOnly)
                            : nullptr;
    return dynamic_cast<Connection *>(child);
}

qint64 nowMs()
{
    return QDeadlineTimer::current().deadline();
}

QByteArray methodName(QHttpServerRequest::Method method)
{
    switch (method) {
    case QHttpServerRequest::Method::Get: return "GET";
    case QHttpServerRequest::Method::Post: return "POST";
    case QHttpServerRequest::Method::Put: return "PUT";
    case QHttpServerRequest::Method::Delete: return "DELETE";
    case QHttpServerRequest::Method::Head: return "HEAD";
    case QHttpServerRequest::Method::Options: return "OPTIONS";
    case QHttpServerRequest::Method::Patch: return "PATCH";
    case QHttpServerRequest::Method::Connect: return "CONNECT";
    case QHttpServerRequest::Method::Trace: return "TRACE";
    default: return "";
    }
}
} // namespace

// Accepts the connections itself, so that it can bound each one before
// Qt's server reads from it: its readyRead handler is connected before
// Qt's (and a second one after it), which is how the bytes Qt's parser
// holds are known.
class HttpFrontEnd::Listener : public QTcpServer {
public:
    using QTcpServer::QTcpServer;
    HttpFrontEnd::Limits limits;
    QList<QPointer<QTcpSocket>> sockets;
    QList<QPointer<QTcpSocket>> fresh; // accepted, not yet taken by Qt's server

    int openCount()
    {
        sockets.removeIf([](const QPointer<QTcpSocket> &s) {
            return !s || s->state() == QAbstractSocket::UnconnectedState;
        });
        return int(sockets.size());
    }

    static void refuse(QTcpSocket *socket, Connection *connection, const QByteArray &statusLine)
    {
        connection->refused = true;
        socket->readAll();
        const QByteArray text = statusLine + '\n';
        socket->write("HTTP/1.1 " + statusLine + "\r\nContent-Type: text/plain\r\nContent-Length: "
                      + QByteArray::number(text.size()) + "\r\nConnection: close\r\n\r\n" + text);
        socket->disconnectFromHost();
    }

    // Before Qt's parser reads: the bytes it holds and the bytes waiting
    // must stay within one request's limit.
    void beforeRead(QTcpSocket *socket, Connection *connection)
    {
        if (connection->refused) {
            if (socket->isOpen())
                socket->readAll();
            return;
        }
        connection->availableBefore = socket->bytesAvailable();
        if (connection->held + connection->availableBefore > limits.requestBytes)
            refuse(socket, connection, "413 Payload Too Large");
    }

    // After it read: what it took went into a completed request, or is held.
    static void afterRead(QTcpSocket *socket, Connection *connection)
    {
        if (connection->refused)
            return;
        const qint64 taken = qMax<qint64>(0, connection->availableBefore - socket->bytesAvailable());
        connection->held = connection->completed ? 0 : connection->held + taken;
        connection->completed = false;
        connection->availableBefore = socket->bytesAvailable();
    }

    // Called once Qt's server has taken the new sockets (its handler of
    // newConnection runs before this one).
    void hookAfterQt()
    {
        for (const QPointer<QTcpSocket> &socket : std::exchange(fresh, {})) {
            if (Connection *connection = connectionOf(socket))
                connect(socket, &QTcpSocket::readyRead, connection,
                        [s = socket.data(), connection] { afterRead(s, connection); });
        }
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        if (openCount() >= limits.connections) {
            // The quietest connection makes room: one that never made a
            // request first, so that a client that opens many and sends
            // nothing cannot lock out the operator's polling browser.
            const auto quietest = std::min_element(sockets.begin(), sockets.end(), [](const auto &a, const auto &b) {
                const Connection *x = connectionOf(a), *y = connectionOf(b);
                return std::pair(x->served, x->lastRequest) < std::pair(y->served, y->lastRequest);
            });
            QPointer<QTcpSocket> victim = *quietest;
            sockets.erase(quietest);
            victim->abort();
        }
        auto *socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
#ifdef Q_OS_UNIX
            ::close(int(descriptor));
#endif
            return;
        }
        // What one read can bring is bounded by the system's receive buffer:
        // kept near one request's limit. (Qt's own read-buffer limit cannot
        // be used: Qt's parser never reads past what is buffered, and a full
        // buffer then stops the socket reading for good.)
        socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, int(qMin<qint64>(limits.requestBytes, 1 << 20)));
        auto *connection = new Connection(socket);
        connection->lastRequest = nowMs();
        connection->idle.setSingleShot(true);
        connection->idle.setInterval(limits.idleMs);
        connect(&connection->idle, &QTimer::timeout, socket, &QTcpSocket::abort);
        connection->idle.start();
        connect(socket, &QTcpSocket::readyRead, connection, [this, socket, connection] {
            beforeRead(socket, connection);
        });
        sockets.append(socket);
        fresh.append(socket);
        addPendingConnection(socket);
    }
};

class HttpFrontEnd::Http : public QAbstractHttpServer {
public:
    Http(Handler onRequest, QObject *parent) : QAbstractHttpServer(parent), handler(std::move(onRequest)) {}

    Handler handler;
    Listener *listener = nullptr;

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override
    {
        Connection *connection = connectionOf(socket);
        if (!connection || connection->refused)
            return true;
        connection->completed = true;
        connection->served = true;
        connection->lastRequest = nowMs();
        connection->idle.start();
        if (socket->bytesToWrite() > listener->limits.pendingWrite) {
            // It does not read what it asked for: no more for it. Ended once
            // Qt's parser is done with the socket, which it reads on after this.
            connection->refused = true;
            QMetaObject::invokeMethod(socket, &QTcpSocket::abort, Qt::QueuedConnection);
            return true;
        }
        WebRequest web;
        web.method = methodName(request.method());
        web.path = request.url().path();
        web.query = request.url().query(QUrl::FullyEncoded);
        web.token = request.value(WebApi::kTokenHeader);
        web.contentType = request.value("Content-Type");
        web.body = request.body();
        const WebReply reply = handler(web);

        QHttpServerResponder responder = makeResponder(request, socket);
        responder.writeStatusLine(QHttpServerResponder::StatusCode(reply.status));
        for (const auto &[name, value] : reply.headers)
            responder.writeHeader(name, value);
        if (!reply.contentType.isEmpty())
            responder.writeHeader("Content-Type", reply.contentType);
        responder.writeHeader("Content-Length", QByteArray::number(reply.body.size()));
        responder.writeBody(reply.body);
        return true;
    }

    void missingHandler(const QHttpServerRequest &, QTcpSocket *) override {}
};

HttpFrontEnd::HttpFrontEnd(Handler handler, QObject *parent)
    : QObject(parent), mHttp(std::make_unique<Http>(std::move(handler), nullptr))
{
    mHttp->listener = new Listener(mHttp.get());
}

HttpFrontEnd::~HttpFrontEnd() = default;

void HttpFrontEnd::setLimits(const Limits &limits)
{
    mHttp->listener->limits = limits;
}

quint16 HttpFrontEnd::listen(const QHostAddress &address, quint16 port)
{
    Listener *listener = mHttp->listener;
    if (!listener->listen(address, port)) {
        mError = listener->errorString();
        return 0;
    }
    mHttp->bind(listener);
    // After bind(): Qt's server connects its own handler first.
    connect(listener, &QTcpServer::newConnection, listener, [listener] { listener->hookAfterQt(); });
    return listener->serverPort();
}

int HttpFrontEnd::connectionCount() const
{
    return mHttp->listener->openCount();
}
