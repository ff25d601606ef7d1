#pragma once
// The operator page's HTTP server: the one class that uses Qt HTTP Server
// (a technology preview in Qt 6.4, so a later Qt changes this file alone).
// It parses requests with Qt's server, hands each to a handler as a
// WebRequest and writes the WebReply back; every decision about what to
// answer is the handler's.
//
// What Qt 6.4's server does not bound, this class does, so that no client,
// with or without the token, can make the music server hold more than a
// little memory or wait:
// - a request (head and body) larger than requestBytes gets 413 and the
//   connection is closed; Qt would buffer any size;
// - a client that does not take its replies: once more than pendingWrite
//   bytes wait to be sent to it, its connection is aborted instead of
//   answering, so a stalled browser never grows our buffers;
// - at most `connections` connections at once: a new one ends the one that
//   has been quiet longest, so the operator's browser always gets in;
// - a connection without a complete request for idleMs is closed.
// A request that is not HTTP at all is closed by Qt without a reply.
//
// Re-entrancy: the handler is called from the event loop, possibly nested
// inside a wait of the music server (a song send); it must not wait itself
// (WebApi queues its actions). Nothing here waits.

#include "app/web/WebApi.h"

#include <QHostAddress>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class HttpFrontEnd : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<WebReply(const WebRequest &)>;
    struct Limits {
        qint64 requestBytes = 64 * 1024;
        qint64 pendingWrite = 512 * 1024;
        int connections = 16;
        int idleMs = 60 * 1000;
    };

    explicit HttpFrontEnd(Handler handler, QObject *parent = nullptr);
    ~HttpFrontEnd() override;

    // Test seam; takes effect for connections made afterwards.
    void setLimits(const Limits &limits);

    // Listens on the address and port (0: the system picks one). Returns the
    // port, or 0 when it cannot listen (errorString() says why).
    quint16 listen(const QHostAddress &address, quint16 port);
    QString errorString() const { return mError; }

    // Connections open now.
    int connectionCount() const;

private:
    class Http;
    class Listener;
    std::unique_ptr<Http> mHttp;
    QString mError;
};
