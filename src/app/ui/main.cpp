// Entry point: reads the command line, chooses headless mode when there is
// no display (or --headless asks for it), sets up the termination signals,
// picks the settings file, creates the Server and its window, runs start-up
// and then the event loop until the exit work asks it to end.
#include "app/CommandLine.h"
#include "app/LineWriter.h"
#include "app/OperatorActions.h"
#include "app/OperatorLog.h"
#include "app/QtMessages.h"
#include "app/Server.h"
#include "app/SettingsLocation.h"
#include "app/ui/TerminationSignals.h"
#include "app/ui/frmMain.h"
#include "app/web/OperatorPage.h"
#include "net/Lines.h"
#include "net/Winsock.h"

#include <QApplication>
#include <cstdio>

#ifdef Q_OS_UNIX
#include <csignal>
#endif

#ifndef VORLUNE_INSTALL_BINDIR
#define VORLUNE_INSTALL_BINDIR ""
#endif

namespace {
// Exit status of a command line that cannot be used, as for other programs.
constexpr int kUsageStatus = 2;
// Exit status of a headless start-up that could not open its listener.
constexpr int kNotListeningStatus = 1;

// The start-up listener takes line 0, the first free line.
bool listenerOpen(Server &server)
{
    Winsock *listener = server.lines().socket(0);
    return listener && listener->State() == Winsock::sckListening;
}
} // namespace

int main(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const CommandLine commandLine = parseCommandLine(arguments);
    if (commandLine.action != CommandLine::Action::Run) {
        const bool failed = commandLine.action == CommandLine::Action::Error;
        std::FILE *out = failed ? stderr : stdout;
        std::fputs(commandLine.text.toLocal8Bit().constData(), out);
        std::fflush(out);
        return failed ? kUsageStatus : 0;
    }

#ifdef Q_OS_UNIX
    // A client or a reader of standard output going away is not a reason to end.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    // Before anything is written: a stream nobody reads must not stop us.
    standardOutput().prepareNonBlocking();
    standardError().prepareNonBlocking();
    installQtMessageFilter();
    TerminationSignals::install();

    const bool noDisplay = qEnvironmentVariableIsEmpty("DISPLAY")
            && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
            && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && !commandLine.platformGiven;
    const bool headless = noDisplay || commandLine.headless;
    if (headless)
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QApplication app(argc, argv);
    // The name gives the configuration folder (~/.config/vorlune-server) and
    // matches the desktop entry. No display name is set: Qt would append it to
    // the window title, which must read exactly as the title rule says.
    QApplication::setApplicationName(QStringLiteral("vorlune-server"));
    QApplication::setDesktopFileName(QStringLiteral("vorlune-server"));
    QApplication::setApplicationVersion(Server::versionText());
    // Closing the window hides it; only the exit work ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    // Nobody sees a text cursor without a screen, and its blinking would wake
    // an idle server twice a second.
    if (QGuiApplication::platformName() == QLatin1String("offscreen")
        || QGuiApplication::platformName() == QLatin1String("minimal"))
        QApplication::setCursorFlashTime(0);

    Server server;
    // Test seam: VORLUNE_STALL_LIMIT_MS, a positive whole number of
    // milliseconds, shortens the time a send may make no progress before its
    // line is ended, so end-to-end tests need not wait 30 s. Anything else
    // is ignored.
    bool stallLimitGiven = false;
    const int stallLimitMs = qgetenv("VORLUNE_STALL_LIMIT_MS").toInt(&stallLimitGiven, 10);
    if (stallLimitGiven && stallLimitMs > 0)
        server.lines().setStallLimit(std::chrono::milliseconds(stallLimitMs));
    if (noDisplay)
        server.AddLog(QStringLiteral("No display found: running headless"));
    else if (headless)
        server.AddLog(QStringLiteral("Running headless (--headless)"));
    const QString settingsFile
            = settingsFileForThisProcess(commandLine.settingsFile, QStringLiteral(VORLUNE_INSTALL_BINDIR));
    server.AddLog(QStringLiteral("Settings file: ") + settingsFile);

    frmMain window(server);
    window.setSettingsFile(settingsFile);
    TerminationSignals termination;
    QObject::connect(&termination, &TerminationSignals::received, &window, &frmMain::requestExit);

    window.show();
    window.Form_Load();
    // An exit during start-up has already done the exit work; the event loop
    // would not see its request, since it was not running yet.
    if (window.exitDone())
        return 0;
    // Without a window nobody can correct the settings and listen again; a
    // service manager must see the failure to report it or start us again.
    if (headless && !listenerOpen(server)) {
        server.AddLog(QStringLiteral("Not listening, and no window to change the settings in: ending"));
        window.requestExit();
        return kNotListeningStatus;
    }
    // The operator's page, where --web asks for it; it goes before the Server.
    OperatorActions actions(server);
    const std::unique_ptr<OperatorPage> page = OperatorPage::start(server, actions, commandLine, settingsFile);
    return app.exec();
}
