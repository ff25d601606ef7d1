#include "app/web/WebApi.h"

#include "app/OperatorActions.h"
#include "app/OperatorLog.h"
#include "app/Server.h"
#include "app/ServerStatus.h"
#include "app/web/WebToken.h"
#include "net/ConnectionTable.h"
#include "net/Lines.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTimer>
#include <QUrlQuery>

#include <cmath>
#include <functional>

// The page lives in a static library: its resource is linked in only when
// something refers to it.
static void initWebResources()
{
    Q_INIT_RESOURCE(web);
}

namespace {
using Header = QPair<QByteArray, QByteArray>;

WebReply textReply(int status, const QByteArray &text)
{
    return {status, "text/plain; charset=utf-8", text + '\n', {{"Cache-Control", "no-store"}}};
}

// A method the route does not take: the one it does is named.
WebReply methodNotAllowed(const QByteArray &allowed)
{
    return {405, "text/plain; charset=utf-8", "Method Not Allowed\n", {{"Allow", allowed}}};
}

WebReply jsonReply(const QJsonObject &object)
{
    return {200, "application/json", QJsonDocument(object).toJson(QJsonDocument::Compact),
            {{"Cache-Control", "no-store"}}};
}

QJsonObject paneState(const MessagePane &pane, const QString &revision, const QString &known)
{
    QJsonObject object{{"rev", revision}, {"purged", pane.purgedLabelVisible()}};
    if (known != revision) {
        bool cut = false;
        object.insert("text", paneTail(pane.text(), cut));
        object.insert("cut", cut);
    }
    return object;
}

// The inline script and style, allowed by their hashes and nothing else, so
// that no text a client sent can ever run as script even if it reached the
// page's markup.
QByteArray contentSecurityPolicy(const QByteArray &page)
{
    auto hashes = [&page](const QByteArray &open, const QByteArray &close) {
        QByteArray sources;
        for (qsizetype from = page.indexOf(open); from >= 0; from = page.indexOf(open, from)) {
            const qsizetype start = page.indexOf('>', from) + 1;
            const qsizetype end = page.indexOf(close, start);
            if (start <= 0 || end < 0)
                break;
            const QByteArray body = page.mid(start, end - start);
            sources += " 'sha256-" + QCryptographicHash::hash(body, QCryptographicHash::Sha256).toBase64() + "'";
            from = end;
        }
        return sources;
    };
    return "default-src 'none'; script-src" + hashes("<script", "</script>") + "; style-src"
            + hashes("<style", "</style>")
            + "; connect-src 'self'; img-src 'self' data:; base-uri 'none'; form-action 'none'; "
              "frame-ancestors 'none'";
}

bool isJson(const QByteArray &contentType)
{
    return contentType.split(';').constFirst().trimmed().toLower() == "application/json";
}
} // namespace

QString paneTail(const QString &text, bool &cut)
{
    cut = text.size() > kPaneTailChars;
    if (!cut)
        return text;
    qsizetype start = text.size() - kPaneTailChars;
    // The first whole line in reach; a CR LF pair counts as one break.
    qsizetype lineBreak = start;
    while (lineBreak < text.size() && text.at(lineBreak) != QLatin1Char('\r') && text.at(lineBreak) != QLatin1Char('\n'))
        ++lineBreak;
    if (lineBreak == text.size())
        lineBreak = -1;
    if (lineBreak >= 0) {
        start = lineBreak + 1;
        if (text.at(lineBreak) == QLatin1Char('\r') && start < text.size() && text.at(start) == QLatin1Char('\n'))
            ++start;
    } else if (text.at(start).isLowSurrogate()) {
        ++start;
    }
    return text.mid(start);
}

WebApi::WebApi(Server &server, OperatorActions &actions, QByteArray token, QObject *parent)
    : QObject(parent), mServer(server), mActions(actions), mToken(std::move(token)),
      mEpoch(QRandomGenerator::global()->generate())
{
    OperatorLog &log = mServer.log();
    auto bump = [](quint64 &revision) { return [&revision] { ++revision; }; };
    connect(&log.logPane(), &MessagePane::appended, this, bump(mLogRevision));
    connect(&log.logPane(), &MessagePane::cleared, this, bump(mLogRevision));
    connect(&log.incomingPane(), &MessagePane::appended, this, bump(mIncomingRevision));
    connect(&log.incomingPane(), &MessagePane::cleared, this, bump(mIncomingRevision));
}

WebReply WebApi::pageReply()
{
    static const QByteArray page = [] {
        initWebResources();
        QFile file(QStringLiteral(":/web/index.html"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }();
    static const QByteArray policy = contentSecurityPolicy(page);
    return {200,
            "text/html; charset=utf-8",
            page,
            {{"Content-Security-Policy", policy},
             {"X-Content-Type-Options", "nosniff"},
             {"Referrer-Policy", "no-referrer"},
             {"X-Frame-Options", "DENY"},
             {"Cache-Control", "no-cache"}}};
}

WebReply WebApi::handle(const WebRequest &request)
{
    if (request.path == QLatin1String("/")) {
        if (request.method != "GET")
            return methodNotAllowed("GET");
        return pageReply();
    }
    if (!request.path.startsWith(QLatin1String("/api/")))
        return textReply(404, "Not Found");
    // Nothing about the API, not even whether a route exists, without the token.
    if (!webTokenMatches(request.token, mToken))
        return textReply(401, "Unauthorized: this needs the operator's token");
    const QString name = request.path.mid(5);
    if (name == QLatin1String("state")) {
        if (request.method != "GET")
            return methodNotAllowed("GET");
        return state(request.query);
    }
    static const QStringList actions{"field", "hide", "select", "listen", "reload", "close", "clear"};
    if (!actions.contains(name))
        return textReply(404, "Not Found");
    if (request.method != "POST")
        return methodNotAllowed("POST");
    if (request.body.size() > kMaxBody)
        return textReply(413, "Payload Too Large");
    if (!isJson(request.contentType))
        return textReply(400, "Bad Request: the body must be application/json");
    return action(name, request.body);
}

WebReply WebApi::state(const QString &query) const
{
    const QUrlQuery known(query);
    const ServerStatus &status = mServer.status();
    const SettingsFields &fields = mServer.fields();
    ConnectionTable &table = mServer.table();

    QJsonArray rows;
    for (int row = 0; row < table.rowCount(); ++row) {
        QJsonArray cells;
        for (int column = 0; column < ConnectionTable::kColumnCount; ++column)
            cells.append(table.cell(row, column));
        rows.append(QJsonObject{{"line", table.lineOfRow(row)}, {"cells", cells}, {"selected", table.isSelected(row)}});
    }
    const QString epoch = QString::number(mEpoch, 16) + QLatin1Char('.');
    OperatorLog &log = mServer.log();
    return jsonReply({
            {"title", mServer.title().isEmpty() ? Server::applicationTitle() : mServer.title()},
            {"status",
             QJsonObject{{"activity", status.activityText()},
                         {"listen", status.listenText()},
                         {"songs", status.songsText()},
                         {"clients", status.clientsText()}}},
            {"fields",
             QJsonObject{{"ip", fields.ip}, {"port", fields.port}, {"musicFolder", fields.musicFolder}}},
            {"hideSystemMessages", mServer.hideSystemMessages()},
            {"columns", QJsonArray::fromStringList(ConnectionTable::columnHeaders())},
            {"rows", rows},
            {"log", paneState(log.logPane(), epoch + QString::number(mLogRevision), known.queryItemValue("log"))},
            {"incoming",
             paneState(log.incomingPane(), epoch + QString::number(mIncomingRevision),
                       known.queryItemValue("incoming"))},
    });
}

WebReply WebApi::action(const QString &name, const QByteArray &body)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return textReply(400, "Bad Request: the body must be a JSON object");
    const QJsonObject args = document.object();
    const auto bad = [](const char *what) { return textReply(400, QByteArray("Bad Request: ") + what); };

    std::function<void()> run;
    if (name == QLatin1String("field")) {
        const QString field = args.value("field").toString();
        const QJsonValue text = args.value("text");
        if (!text.isString())
            return bad("\"text\" must be a string");
        const QString value = text.toString();
        if (field == QLatin1String("ip"))
            run = [this, value] { mActions.setIP(value); };
        else if (field == QLatin1String("port"))
            run = [this, value] { mActions.setPort(value); };
        else if (field == QLatin1String("musicFolder"))
            run = [this, value] { mActions.setMusicFolder(value); };
        else
            return bad("\"field\" must be \"ip\", \"port\" or \"musicFolder\"");
    } else if (name == QLatin1String("hide")) {
        if (!args.value("hide").isBool())
            return bad("\"hide\" must be true or false");
        run = [this, hide = args.value("hide").toBool()] { mActions.setHideSystemMessages(hide); };
    } else if (name == QLatin1String("select")) {
        const QJsonValue lines = args.value("lines");
        if (!lines.isArray() || lines.toArray().size() > Lines::kLineCount)
            return bad("\"lines\" must be a list of at most 101 line numbers");
        QList<qint16> selected;
        for (const QJsonValue &line : lines.toArray()) {
            const double number = line.toDouble(-1);
            if (!line.isDouble() || number != std::floor(number) || number < 0 || number >= Lines::kLineCount)
                return bad("a line number is a whole number from 0 to 100");
            selected.append(qint16(number));
        }
        run = [this, selected] { mActions.selectLines(selected); };
    } else if (name == QLatin1String("clear")) {
        const int pane = args.value("pane").toInt(-1);
        if (!args.value("pane").isDouble() || (pane != 0 && pane != 2) || args.value("pane").toDouble() != pane)
            return bad("\"pane\" must be 0 (incoming) or 2 (log)");
        run = [this, pane] { mActions.clearPane(pane); };
    } else if (name == QLatin1String("listen")) {
        run = [this] { mActions.listen(); };
    } else if (name == QLatin1String("reload")) {
        run = [this] { mActions.reload(); };
    } else {
        run = [this] { mActions.closeSelected(); };
    }
    if (mQueued >= kMaxQueuedActions)
        return textReply(503, "Service Unavailable: too many actions waiting");
    queue(std::move(run));
    return {202, "text/plain; charset=utf-8", "Accepted\n", {{"Cache-Control", "no-store"}}};
}

void WebApi::queue(std::function<void()> action)
{
    ++mQueued;
    // Posted events run in the order they were posted, so the actions do too.
    QMetaObject::invokeMethod(
            this,
            [this, action = std::move(action)] {
                --mQueued;
                if (!mServer.exiting())
                    action();
            },
            Qt::QueuedConnection);
}
