// Entry point: reads the command line, prepares the process (standard
// output, Qt's messages, the signals), chooses headless mode when there is no
// display (or --headless asks for it), creates the Server with its operator
// actions and lifecycle, runs start-up through the window or, headless,
// directly, and then the event loop until the exit work asks it to end.
//
// Headless, the program runs on QCoreApplication: no window object, no
// widgets, no platform plugin. With a display it runs the window.
//
// The same source builds vorlune-server-core, the program without the window
// (VORLUNE_WITHOUT_WINDOW): a headless run of vorlune-server becomes that
// program where it is at hand, so that Qt Widgets is not even loaded.
#include "app/CommandLine.h"
#include "app/LineWriter.h"
#include "app/OperatorActions.h"
#include "app/OperatorLog.h"
#include "app/QtMessages.h"
#include "app/ResourceFailures.h"
#include "app/Server.h"
#include "app/ServerLifecycle.h"
#include "app/ServiceNotifier.h"
#include "app/SettingsLocation.h"
#include "app/Sharing.h"
#include "app/TerminationSignals.h"
#include "app/web/OperatorPage.h"
#include "net/Lines.h"
#include "net/Winsock.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#ifndef VORLUNE_WITHOUT_WINDOW
#include "app/ui/frmMain.h"

#include <QApplication>
#include <unistd.h>
#endif

#ifdef Q_OS_UNIX
#include <csignal>
#endif

#ifndef VORLUNE_INSTALL_BINDIR
#define VORLUNE_INSTALL_BINDIR ""
#endif
#ifndef VORLUNE_INSTALL_LIBEXECDIR
#define VORLUNE_INSTALL_LIBEXECDIR ""
#endif

namespace {
// Exit status of a command line that cannot be used, as for other programs.
constexpr int kUsageStatus = 2;
// Exit status of a headless start-up that could not open its listener.
constexpr int kNotListeningStatus = 1;

// Answers --help, --version and a command line that cannot be used; nullopt
// when the program is to run.
std::optional<int> answerCommandLine(const CommandLine &commandLine)
{
    if (commandLine.action == CommandLine::Action::Run)
        return std::nullopt;
    const bool failed = commandLine.action == CommandLine::Action::Error;
    std::FILE *out = failed ? stderr : stdout;
    std::fputs(commandLine.text.toLocal8Bit().constData(), out);
    std::fflush(out);
    return failed ? kUsageStatus : 0;
}

// What every run needs before the application object exists.
void prepareProcess()
{
#ifdef Q_OS_UNIX
    // A client or a reader of standard output going away is not a reason to end.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    Winsock::raiseDescriptorLimit();
    // Before anything is written: a stream nobody reads must not stop us.
    standardOutput().prepareNonBlocking();
    standardError().prepareNonBlocking();
    installQtMessageFilter();
    // Before the application object, so that no signal finds its default action.
    TerminationSignals::install();
}

// The application object: the core's alone headless, with widgets otherwise.
std::unique_ptr<QCoreApplication> createApplication(bool headless, int &argc, char **argv)
{
    if (headless) {
        auto app = std::make_unique<QCoreApplication>(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("vorlune-server"));
        QCoreApplication::setApplicationVersion(Server::versionText());
        return app;
    }
#ifdef VORLUNE_WITHOUT_WINDOW
    return nullptr;
#else
    auto app = std::make_unique<QApplication>(argc, argv);
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
    return app;
#endif
}

#ifndef VORLUNE_WITHOUT_WINDOW
// A headless run needs nothing of the window. Where the program without it
// is at hand (beside this executable, or in the install folder when this is
// the installed copy), this process becomes that program, with the same
// arguments and the settings file chosen here, so that Qt Widgets is never
// loaded. Returns where there is none (a copy of the executable on its own)
// or it cannot be started: the run then goes on here, headless all the same.
void becomeTheProgramWithoutWindow(const std::vector<char *> &arguments, bool settingsGiven,
                                   const QString &settingsFile)
{
    const QString folder = QCoreApplication::applicationDirPath();
    QString program = folder + QStringLiteral("/vorlune-server-core");
    const QString installFolder = QFileInfo(QStringLiteral(VORLUNE_INSTALL_BINDIR)).canonicalFilePath();
    if (!QFileInfo(program).isExecutable() && !installFolder.isEmpty()
        && QFileInfo(folder).canonicalFilePath() == installFolder)
        program = QStringLiteral(VORLUNE_INSTALL_LIBEXECDIR "/vorlune-server-core");
    if (!QFileInfo(program).isExecutable())
        return;
    const QByteArray path = QFile::encodeName(program);
    QByteArray settingsOption = QByteArrayLiteral("--settings");
    QByteArray settingsPath = QFile::encodeName(settingsFile);
    std::vector<char *> argv{const_cast<char *>(path.constData())};
    argv.insert(argv.end(), arguments.begin() + 1, arguments.end());
    if (!settingsGiven) {
        argv.push_back(settingsOption.data());
        argv.push_back(settingsPath.data());
    }
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
}
#endif

// Test seam: VORLUNE_STALL_LIMIT_MS, a positive whole number of milliseconds,
// shortens the time a send may make no progress before its line is ended,
// so end-to-end tests need not wait 30 s. Anything else is ignored.
void applyStallLimitSeam(Server &server)
{
    bool given = false;
    const int stallLimitMs = qgetenv("VORLUNE_STALL_LIMIT_MS").toInt(&given, 10);
    if (given && stallLimitMs > 0)
        server.lines().setStallLimit(std::chrono::milliseconds(stallLimitMs));
}
} // namespace

int main(int argc, char **argv)
{
    // Before anything can fail for want of a thread or memory: such a
    // failure ends the program saying why, rather than hanging it.
    ResourceFailures::install();
    // As given, before the application object takes Qt's options out.
    const std::vector<char *> originalArguments(argv, argv + argc);
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const CommandLine commandLine = parseCommandLine(arguments);
    if (const std::optional<int> status = answerCommandLine(commandLine))
        return *status;

    prepareProcess();

    const bool noDisplay = qEnvironmentVariableIsEmpty("DISPLAY")
            && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
            && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && !commandLine.platformGiven;
#ifdef VORLUNE_WITHOUT_WINDOW
    const bool headless = true;
#else
    const bool headless = noDisplay || commandLine.headless;
#endif
    const std::unique_ptr<QCoreApplication> app = createApplication(headless, argc, argv);
    const QString settingsFile
            = settingsFileForThisProcess(commandLine.settingsFile, QStringLiteral(VORLUNE_INSTALL_BINDIR));
#ifndef VORLUNE_WITHOUT_WINDOW
    if (headless)
        becomeTheProgramWithoutWindow(originalArguments, !commandLine.settingsFile.isEmpty(), settingsFile);
#endif

    // --- the core: the server, what an operator can do, start-up and exit --------
    Server server;
    applyStallLimitSeam(server);
    if (noDisplay)
        server.AddLog(QStringLiteral("No display found: running headless"));
    else if (headless)
        server.AddLog(QStringLiteral("Running headless (--headless)"));
    server.AddLog(QStringLiteral("Settings file: ") + settingsFile);
    applySharing(server, commandLine);
    OperatorActions actions(server);
    ServerLifecycle lifecycle(server, actions);
    lifecycle.setSettingsFile(settingsFile);

    // The service manager (where there is one) hears the state as it
    // changes, when start-up has ended (below, once the page is served too),
    // and when the exit has begun.
    ServiceNotifier serviceManager;
    serviceManager.attach(server);
    QObject::connect(&lifecycle, &ServerLifecycle::exitStarted, &serviceManager, &ServiceNotifier::stopping);

    // Signals run the operator's actions from the event loop, nested in any
    // wait as a click would: SIGINT, SIGTERM and SIGHUP Exit, SIGUSR1 Reload.
    TerminationSignals signalEvents;
    QObject::connect(&signalEvents, &TerminationSignals::received, &server, [&actions] { actions.exit(); });
    QObject::connect(&signalEvents, &TerminationSignals::reloadRequested, &server,
                     [&actions] { actions.reload(); });

    // --- front ends: the window where there is a display --------------------------
#ifndef VORLUNE_WITHOUT_WINDOW
    std::unique_ptr<frmMain> window;
    if (!headless) {
        window = std::make_unique<frmMain>(server, actions, lifecycle);
        window->show();
    }
#endif

    // --- start-up: the window's load step, or the same sequence without it -------
#ifndef VORLUNE_WITHOUT_WINDOW
    if (window)
        window->Form_Load();
    else
#endif
        lifecycle.start();
    // An exit during start-up has already done the exit work; the event loop
    // would not see its request, since it was not running yet.
    if (lifecycle.exitDone())
        return 0;
    // Without a window nobody can correct the settings and listen again; a
    // service manager must see the failure to report it or start us again.
    if (headless && !lifecycle.listening()) {
        server.AddLog(QStringLiteral("Not listening, and no window to change the settings in: ending"));
        actions.exit();
        return kNotListeningStatus;
    }
    // The operator's page, where --web asks for it; it goes before the Server.
    const std::unique_ptr<OperatorPage> page = OperatorPage::start(server, actions, commandLine, settingsFile);
    // Ready only now: what waits for us may go straight to the page.
    serviceManager.ready();
    return app->exec();
}
