#pragma once
// What the operator's page may ask and do, decided without any HTTP
// library: the routes, the token check, the state the page shows (as JSON)
// and the operator actions it may call. The HTTP front end (HttpFrontEnd)
// turns each request into a WebRequest and writes the WebReply back; the
// tests call handle() directly.
//
//   GET  /                 the page (no data; anyone may have it)
//   GET  /api/state        what the window shows, as JSON
//   POST /api/field        {"field": "ip"|"port"|"musicFolder", "text": "..."}
//   POST /api/hide         {"hide": true|false}   ("Hide System Messages")
//   POST /api/select       {"lines": [0, 3, ...]} exactly these rows selected
//   POST /api/listen, /api/reload, /api/close     Listen, Reload, Close
//   POST /api/clear        {"pane": 0|2}          0 incoming, 2 log
//
// Every /api/ request carries the token in the X-Vorlune-Token header, or
// gets 401 and nothing else. Actions are POST only with a JSON body (no
// cookies are used, and a form of another site can send neither the header
// nor that type), so a link or a form elsewhere cannot act.
//
// Re-entrancy: handle() never waits and never calls an action: it only
// reads the server's state and queues the action, which runs from the
// event loop afterwards, as a click on the window's button would (and so
// may run nested inside a song send, the send gate or a scan). Queued
// actions run in the order their requests came, and none runs once the
// server is exiting. At most kMaxQueuedActions wait; more get 503.

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

#include <functional>

class OperatorActions;
class Server;

struct WebRequest {
    QByteArray method; // "GET", "POST", ...
    QString path;
    QString query;     // without "?"
    QByteArray token;  // the X-Vorlune-Token header; repeated headers joined by ", "
    QByteArray contentType;
    QByteArray body;
};

struct WebReply {
    int status = 200;
    QByteArray contentType;
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
};

// The latest part of a pane's text that the page is sent: at most
// kPaneTailChars, starting after a line break where one is in reach, never
// inside a CR LF or a surrogate pair. cut tells whether anything was left out.
inline constexpr qsizetype kPaneTailChars = 16384;
QString paneTail(const QString &text, bool &cut);

class WebApi : public QObject {
    Q_OBJECT
public:
    static constexpr qsizetype kMaxBody = 16 * 1024;
    static constexpr int kMaxQueuedActions = 64;
    static constexpr const char *kTokenHeader = "X-Vorlune-Token";

    WebApi(Server &server, OperatorActions &actions, QByteArray token, QObject *parent = nullptr);

    WebReply handle(const WebRequest &request);

    // The page as served, with its security headers (tests look at them).
    static WebReply pageReply();

private:
    WebReply state(const QString &query) const;
    WebReply action(const QString &name, const QByteArray &body);
    void queue(std::function<void()> action);

    Server &mServer;
    OperatorActions &mActions;
    const QByteArray mToken;
    // Each pane's revision: the page is sent a pane's text only when the
    // revision it names is not the current one. The epoch tells this run's
    // revisions from an earlier run's.
    const quint32 mEpoch;
    quint64 mLogRevision = 0;
    quint64 mIncomingRevision = 0;
    int mQueued = 0;
};
