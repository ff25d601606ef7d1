#include "app/CommandLine.h"

#include "app/Server.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QHostAddress>

namespace {
// Options that Qt's application object, its widgets and the X11 platform read
// from the command line themselves; they are accepted here so that they keep
// working, and left out of the help.
struct QtOption {
    const char *name;
    bool takesValue;
};
constexpr QtOption kQtOptions[] = {
        {"platform", true},
        {"platformpluginpath", true},
        {"platformtheme", true},
        {"plugin", true},
        {"qwindowgeometry", true},
        {"qwindowicon", true},
        {"qwindowtitle", true},
        {"session", true},
        {"style", true},
        {"stylesheet", true},
        {"display", true},
        {"geometry", true},
        {"name", true},
        {"title", true},
        {"reverse", false},
        {"widgetcount", false},
        {"nograb", false},
        {"dograb", false},
        {"sync", false},
};
// Every line but the listener's could belong to one host.
constexpr int kMaxLinesPerHostOption = 100;
} // namespace

bool parseWebListenOption(const QString &text, QString &address, quint16 &port, QString &error)
{
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    QString host = colon < 0 ? QStringLiteral("127.0.0.1") : text.left(colon);
    const QString portText = colon < 0 ? text : text.mid(colon + 1);
    const bool bracketed = host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'));
    if (bracketed)
        host = host.mid(1, host.size() - 2);
    const QHostAddress parsed(host);
    const bool isIPv6 = parsed.protocol() == QAbstractSocket::IPv6Protocol;
    if (parsed.isNull() || isIPv6 != bracketed || host.contains(QLatin1Char('%'))) {
        error = QStringLiteral("The --web address '%1' is not an IPv4 address or an IPv6 address in brackets.")
                        .arg(colon < 0 ? text : text.left(colon));
        return false;
    }
    bool ok = false;
    const uint number = portText.toUInt(&ok, 10);
    if (!ok || number > 65535 || portText.isEmpty() || !portText.at(0).isDigit()) {
        error = QStringLiteral("The --web port '%1' is not a number from 0 to 65535.").arg(portText);
        return false;
    }
    address = parsed.toString();
    port = quint16(number);
    return true;
}

CommandLine parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    // Qt's options are single-dash words ("-platform offscreen"), not clusters
    // of one-letter options.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(
            Server::applicationTitle()
            + QStringLiteral(
                    ": serves the MP3 files of a music folder to player clients\n"
                    "on the local network.\n"
                    "Settings: vorlune.ini beside the program where that folder can be written,\n"
                    "otherwise ~/.config/vorlune-server/vorlune.ini, unless --settings names a file.\n"
                    "Qt's own options (-platform NAME, -style NAME, ...) are accepted as well."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Shows this help and ends."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Shows the version and ends."));
    const QCommandLineOption headless(
            QStringLiteral("headless"),
            QStringLiteral("Runs without a window, even where a display exists. "
                           "Ends with status 1 when it cannot listen at start-up."));
    const QCommandLineOption settings(
            QStringLiteral("settings"),
            QStringLiteral("Reads the settings from FILE and writes them back there."),
            QStringLiteral("FILE"));
    const QCommandLineOption wideLinks(
            QStringLiteral("wide-links"),
            QStringLiteral("Follows links in the music folder wherever they lead (by default, links "
                           "leading outside it are skipped)."));
    const QCommandLineOption allow(
            QStringLiteral("allow"),
            QStringLiteral("Admits only clients from NETWORK: an address (192.168.1.20, ::1) or a network "
                           "(192.168.1.0/24, fd00::/8). Repeatable. By default every address may connect."),
            QStringLiteral("NETWORK"));
    const QCommandLineOption maxLinesPerHost(
            QStringLiteral("max-lines-per-host"),
            QStringLiteral("Turns away a client address's connections beyond its N-th (1 to 100). "
                           "By default there is no such limit."),
            QStringLiteral("N"));
    const QCommandLineOption web(
            QStringLiteral("web"),
            QStringLiteral("Serves the operator's page on PORT of 127.0.0.1, or of ADDRESS (an IP "
                           "address; IPv6 in brackets). The log gives its address with the token."),
            QStringLiteral("[ADDRESS:]PORT"));
    const QCommandLineOption webTokenFile(
            QStringLiteral("web-token-file"),
            QStringLiteral("Keeps the page's token in FILE (default: vorlune-web.token beside the "
                           "settings file), created with a new token when missing."),
            QStringLiteral("FILE"));
    parser.addOptions({help, version, headless, settings, wideLinks, allow, maxLinesPerHost, web, webTokenFile});
    for (const QtOption &qt : kQtOptions) {
        QCommandLineOption option(QString::fromLatin1(qt.name));
        if (qt.takesValue)
            option.setValueName(QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }

    const QStringList args = arguments.isEmpty() ? QStringList{QStringLiteral("vorlune-server")} : arguments;
    const bool parsed = parser.parse(args);

    // Without an application object the parser cannot know the program's
    // name; its first line is replaced by one that does.
    const QString usage = QStringLiteral("Usage: ") + QFileInfo(args.first()).fileName()
            + QStringLiteral(" [options]\n") + parser.helpText().section(QLatin1Char('\n'), 1);

    QString error;
    if (!parsed)
        error = parser.errorText();
    else if (!parser.positionalArguments().isEmpty())
        error = QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().first());
    else if (parser.isSet(settings) && parser.value(settings).isEmpty())
        error = QStringLiteral("The settings file name is empty.");
    else if (parser.isSet(webTokenFile) && parser.value(webTokenFile).isEmpty())
        error = QStringLiteral("The token file name is empty.");
    AdmissionRule admission;
    for (const QString &network : parser.values(allow)) {
        const std::optional<QPair<QHostAddress, int>> subnet = AdmissionRule::parseNetwork(network);
        if (!subnet && error.isEmpty())
            error = QStringLiteral("Not an address or a network for --allow: '%1' "
                                   "(write, for example, 192.168.1.20, 192.168.1.0/24, ::1 or fd00::/8).")
                            .arg(network);
        if (subnet)
            admission.allowed << *subnet;
    }
    if (parser.isSet(maxLinesPerHost)) {
        bool isNumber = false;
        const int lines = parser.value(maxLinesPerHost).toInt(&isNumber, 10);
        if ((!isNumber || lines < 1 || lines > kMaxLinesPerHostOption) && error.isEmpty())
            error = QStringLiteral("--max-lines-per-host takes a whole number from 1 to %1, not '%2'.")
                            .arg(kMaxLinesPerHostOption)
                            .arg(parser.value(maxLinesPerHost));
        admission.maxLinesPerHost = lines;
    }
    CommandLine result;
    if (error.isEmpty() && parser.isSet(web)) {
        result.webGiven = parseWebListenOption(parser.value(web), result.webAddress, result.webPort, error);
        result.webTokenFile = parser.value(webTokenFile);
    }
    if (!error.isEmpty()) {
        result.action = CommandLine::Action::Error;
        result.text = error + QStringLiteral("\n\n") + usage;
        return result;
    }
    if (parser.isSet(help)) {
        result.action = CommandLine::Action::Help;
        result.text = usage;
        return result;
    }
    if (parser.isSet(version)) {
        result.action = CommandLine::Action::Version;
        result.text
                = Server::applicationTitle() + QLatin1Char(' ') + Server::versionText() + QLatin1Char('\n');
        return result;
    }
    result.headless = parser.isSet(headless);
    result.platformGiven = parser.isSet(QStringLiteral("platform"));
    result.settingsFile = parser.value(settings);
    result.wideLinks = parser.isSet(wideLinks);
    result.admission = admission;
    return result;
}
