// The operator's page without a browser: the token file, what the API
// answers and refuses (WebApi, called directly), and the HTTP front end's
// bounds on real loopback sockets.
#include "AppFixture.h"
#include "ProtocolClient.h"
#include "app/CommandLine.h"
#include "app/OperatorActions.h"
#include "app/OperatorLog.h"
#include "app/Server.h"
#include "app/web/HttpFrontEnd.h"
#include "app/web/WebApi.h"
#include "app/web/WebToken.h"
#include "net/ConnectionTable.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const QByteArray kToken = newWebToken();

WebRequest req(const QByteArray &method, const QString &path, const QByteArray &body = {},
               const QByteArray &token = kToken, const QByteArray &type = "application/json")
{
    const qsizetype q = path.indexOf('?');
    return {method, q < 0 ? path : path.left(q), q < 0 ? QString() : path.mid(q + 1), token, type, body};
}

// One raw exchange on a fresh connection: what came back before the
// server closed or a whole reply (by its Content-Length) had come.
QByteArray exchange(ProtocolClient &client, const QByteArray &bytes)
{
    client.send(bytes);
    client.waitUntil([&] {
        const QByteArray &in = client.mReceived;
        const qsizetype head = in.indexOf("\r\n\r\n");
        const qsizetype length = in.mid(in.indexOf("Content-Length: ") + 16).split('\r').value(0).toLongLong();
        return client.socket.state() != QAbstractSocket::ConnectedState
                || (head >= 0 && in.size() >= head + 4 + length);
    });
    return std::exchange(client.mReceived, {});
}

// The page's API on a server of its own, and the HTTP front end before it.
struct WebRig {
    Server server;
    OperatorActions actions{server};
    WebApi api{server, actions, kToken};
    HttpFrontEnd http{[this](const WebRequest &r) { return api.handle(r); }};
    WebRig() { server.log().setEchoToStdout(false); }
};
} // namespace

class TestWeb : public QObject {
    Q_OBJECT
private slots:
    void tokenFileIsPrivateKeptAndNeverOverwritten()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("sub/vorlune-web.token");
        const WebTokenFile first = loadOrCreateWebToken(path);
        QVERIFY(first.created && isWebToken(first.token) && first.token.size() == 43);
        QCOMPARE(QFile::permissions(path) & 0x7077, QFile::ReadOwner | QFile::WriteOwner);
        QCOMPARE(loadOrCreateWebToken(path).token, first.token); // kept across starts
        QVERIFY(newWebToken() != first.token);
        // Readable by others: made private. Empty: a new token. Other text: refused, left alone.
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
        QVERIFY(loadOrCreateWebToken(path).tightened && !(QFile::permissions(path) & QFile::ReadOther));
        QVERIFY(writeFile(path, "\n") && loadOrCreateWebToken(path).created);
        QVERIFY(writeFile(path, "short\n") && loadOrCreateWebToken(path).token.isEmpty());
        QCOMPARE(readFile(path), QByteArray("short\n"));
        QCOMPARE(defaultWebTokenFile("/etc/x/vorlune.ini"), QString("/etc/x/vorlune-web.token"));

        // 22 to 256 characters of base64url; compared whole.
        QVERIFY(!isWebToken(QByteArray(21, 'a')) && isWebToken(QByteArray(22, 'a') + '\n'));
        QVERIFY(isWebToken(QByteArray(256, '_')) && !isWebToken(QByteArray(257, '_')));
        QVERIFY(!isWebToken(QByteArray(30, 'a') + '='));
        QVERIFY(webTokenMatches(kToken, kToken) && !webTokenMatches(kToken.chopped(1), kToken));
        QVERIFY(!webTokenMatches(kToken + 'x', kToken) && !webTokenMatches({}, {}));
        QVERIFY(!webTokenMatches(kToken + ", " + kToken, kToken)); // the header given twice
    }

    void webOption()
    {
        QString address, error;
        quint16 port = 1;
        const std::tuple<QString, QString, int> good[] = {
                {"15151", "127.0.0.1", 15151}, {"0.0.0.0:0", "0.0.0.0", 0}, {"[::1]:65535", "::1", 65535}};
        for (const auto &[text, host, number] : good)
            QVERIFY2(parseWebListenOption(text, address, port, error) && address == host && port == number,
                     qPrintable(text));
        for (const char *text : {"65536", "::1:80", "[1.2.3.4]:80", "host:80", "1.2.3.4:", "1.2.3.4:+5", ""})
            QVERIFY2(!parseWebListenOption(text, address, port, error), text);
        const CommandLine line = parseCommandLine({"x", "--web", "[::]:8", "--web-token-file", "/t"});
        QVERIFY(line.webGiven && line.webAddress == "::" && line.webPort == 8 && line.webTokenFile == "/t");
        QCOMPARE(parseCommandLine({"x", "--web", "1.2.3"}).action, CommandLine::Action::Error);
        QVERIFY(!parseCommandLine({"x"}).webGiven);
    }

    void refusalsAndMalformedRequests()
    {
        WebRig rig;
        rig.server.AddLog("secret-looking log entry");
        WebApi &api = rig.api;
        const QByteArray big = QByteArray(WebApi::kMaxBody - 10, ' ');
        const std::tuple<WebRequest, int> cases[] = {
                {req("GET", "/", {}, {}), 200},
                {req("POST", "/"), 405},
                {req("GET", "/api/state", {}, {}), 401},
                {req("GET", "/api/state", {}, kToken.chopped(1) + '-'), 401},
                {req("GET", "/api/nothing", {}, {}), 401},
                {req("GET", "/api/nothing"), 404},
                {req("GET", "/elsewhere", {}, {}), 404},
                {req("POST", "/api/state"), 405},
                {req("GET", "/api/close"), 405},
                {req("POST", "/api/close", "{}", kToken, "text/plain"), 400},
                {req("POST", "/api/close", "{"), 400},
                {req("POST", "/api/close", "[]"), 400},
                {req("POST", "/api/select", R"({"lines":[101]})"), 400},
                {req("POST", "/api/select", R"({"lines":[1.5]})"), 400},
                {req("POST", "/api/select", R"({"lines":"1"})"), 400},
                {req("POST", "/api/clear", R"({"pane":1})"), 400},
                {req("POST", "/api/field", R"({"field":"title","text":"x"})"), 400},
                {req("POST", "/api/field", R"({"field":"ip","text":1})"), 400},
                {req("POST", "/api/hide", R"({"hide":"yes"})"), 400},
                {req("POST", "/api/clear", "{\"pane\":2" + big + "}"), 202}, // kMaxBody exactly
                {req("POST", "/api/clear", "{\"pane\":2 " + big + "}"), 413},
        };
        for (const auto &[request, status] : cases) {
            const WebReply reply = api.handle(request);
            QVERIFY2(reply.status == status, qPrintable(request.method + ' ' + request.path + " -> "
                                                        + QString::number(reply.status)));
            // Nothing of the server's state goes out without the token.
            if (!webTokenMatches(request.token, kToken))
                QVERIFY(!reply.body.contains("secret-looking") && !reply.body.contains("\"rows\":"));
        }
        QVERIFY(WebApi::pageReply().headers.contains({"X-Frame-Options", "DENY"}));
    }

    void actionsRunQueuedInOrderAndStateFollows()
    {
        WebRig rig;
        auto &[server, actions, api, http] = rig;
        ConnectionTable &table = server.table();
        table.addColumns();
        table.addListenerRow(0, "127.0.0.1", 15150);
        table.addConnectionRow(3, "127.0.0.2", 15150, 40000);
        table.addConnectionRow(5, "127.0.0.3", 15150, 40001);

        // Queued: nothing happens inside handle(), everything in order after it.
        QCOMPARE(api.handle(req("POST", "/api/field", R"({"field":"ip","text":"10.0.0.1"})")).status, 202);
        QCOMPARE(api.handle(req("POST", "/api/field", R"({"field":"ip","text":"10.0.0.2"})")).status, 202);
        QCOMPARE(api.handle(req("POST", "/api/select", R"({"lines":[5, 0, 99]})")).status, 202);
        QCOMPARE(api.handle(req("POST", "/api/hide", R"({"hide":true})")).status, 202);
        QVERIFY(server.fields().ip.isEmpty() && table.selectedLines() == QList<qint16>({3, 5}));
        QCoreApplication::processEvents();
        QVERIFY(server.fields().ip == "10.0.0.2" && server.hideSystemMessages());
        QCOMPARE(table.selectedLines(), QList<qint16>({0, 5}));

        // At most kMaxQueuedActions wait; once they ran, more are taken again.
        for (int i = 0; i < WebApi::kMaxQueuedActions; ++i)
            QCOMPARE(api.handle(req("POST", "/api/clear", R"({"pane":0})")).status, 202);
        QCOMPARE(api.handle(req("POST", "/api/clear", R"({"pane":2})")).status, 503);
        QCoreApplication::processEvents();
        server.AddLog("entry");
        QCOMPARE(api.handle(req("POST", "/api/clear", R"({"pane":2})")).status, 202);

        // A pane's text is sent when the page's revision is not the current one.
        auto state = [&](const QString &query) -> const QJsonObject {
            return QJsonDocument::fromJson(api.handle(req("GET", "/api/state?" + query)).body).object();
        };
        const QJsonObject before = state({});
        const QString rev = before["log"]["rev"].toString();
        QVERIFY(before["log"]["text"].toString().endsWith("entry\r\n"));
        QVERIFY(!state("log=" + rev)["log"].toObject().contains("text"));
        QCoreApplication::processEvents(); // the queued Clear of the log
        QCOMPARE(state("log=" + rev)["log"]["text"].toString(), QString());
        QCOMPARE(before["rows"][2]["cells"][4].toString(), QString("In"));
        QVERIFY(before["rows"][2]["selected"].toBool() && !before["rows"][1]["selected"].toBool());
    }

    void paneTailCutsAtALineBreak()
    {
        bool cut = true;
        const QString whole(kPaneTailChars, u'a');
        QVERIFY(paneTail(whole, cut) == whole && !cut);
        QVERIFY(paneTail("x" + whole, cut) == whole && cut); // no break in reach: from the cut on
        const QString lines = "first\r" + QString(kPaneTailChars - 3, u'b') + "\r\nlast";
        QVERIFY(paneTail(lines, cut) == "last" && cut); // never starts inside the CR LF
    }

    void frontEndBoundsWhatAClientCanHold()
    {
        WebRig rig;
        auto &[server, actions, api, http] = rig;
        http.setLimits({.requestBytes = 1000, .pendingWrite = 64 * 1024, .connections = 2, .idleMs = 200});
        const quint16 port = http.listen(QHostAddress::LocalHost, 0);
        QVERIFY(port != 0);

        // A request of exactly the limit is read; one byte more is refused and
        // the connection closed; the next connection is served as usual.
        const QByteArray head = "POST /api/close HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                                "X-Vorlune-Token: "
                + kToken + "\r\nContent-Length: ";
        auto post = [&](qsizetype total) {
            const QByteArray start = head + QByteArray::number(total - head.size() - 7) + "\r\n\r\n";
            const QByteArray body = "{" + QByteArray(total - start.size() - 2, ' ') + "}";
            ProtocolClient client;
            return client.connectTo(port) ? exchange(client, start + body) : QByteArray();
        };
        QVERIFY(post(1000).startsWith("HTTP/1.1 202 "));
        const QByteArray r = post(1001);
        QVERIFY2(r.startsWith("HTTP/1.1 413 "), r.constData());
        QVERIFY(post(900).startsWith("HTTP/1.1 202 "));

        // The token header reaches the API; not HTTP at all: closed unanswered.
        ProtocolClient client, garbage;
        QVERIFY(client.connectTo(port) && garbage.connectTo(port));
        QVERIFY(exchange(client, "GET /api/state HTTP/1.1\r\nHost: x\r\n\r\n").startsWith("HTTP/1.1 401 "));
        QVERIFY(exchange(garbage, "HELLO\r\n\r\n").isEmpty() && garbage.endedSilently());

        // Two connections at most: a third ends the quietest; one without a
        // request for idleMs ends.
        QVERIFY(exchange(client, "GET / HTTP/1.1\r\nHost: x\r\n\r\n").startsWith("HTTP/1.1 200 "));
        ProtocolClient second, third;
        QVERIFY(second.connectTo(port) && client.waitUntil([&] { return http.connectionCount() == 2; }));
        QVERIFY(third.connectTo(port) && second.endedSilently());
        QVERIFY(client.socket.state() == QAbstractSocket::ConnectedState);
        QVERIFY(client.endedSilently() && third.endedSilently()); // idle
    }

    void aClientThatDoesNotReadIsCut()
    {
        WebRig rig;
        auto &[server, actions, api, http] = rig;
        http.setLimits({.requestBytes = 64 * 1024, .pendingWrite = 32 * 1024, .connections = 4, .idleMs = 60000});
        const quint16 port = http.listen(QHostAddress::LocalHost, 0);
        // Page requests, pipelined, none of the replies read: the replies
        // back up in the kernel, then in Qt, until the connection is cut.
        ProtocolClient stalled;
        stalled.boundReceiveBuffer(4096);
        QVERIFY(stalled.connectTo(port));
        stalled.holdReads(true);
        for (int i = 0; i < 400 && stalled.socket.state() == QAbstractSocket::ConnectedState; ++i) {
            stalled.send(QByteArray("GET / HTTP/1.1\r\nHost: x\r\n\r\n").repeated(20));
            stalled.waitUntil([] { return false; }, 5);
        }
        QVERIFY(stalled.waitUntil([&] { return http.connectionCount() == 0; }));
        ProtocolClient next;
        QVERIFY(next.connectTo(port));
        QVERIFY(exchange(next, "GET / HTTP/1.1\r\nHost: x\r\n\r\n").startsWith("HTTP/1.1 200 "));
    }
};

QTEST_GUILESS_MAIN(TestWeb)
#include "tst_web.moc"
