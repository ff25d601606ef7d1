// Entry point: chooses headless mode when there is no display, sets up the
// termination signals, creates the Server and its window, runs start-up and
// then the event loop until the exit work asks it to end.
#include "app/LineWriter.h"
#include "app/OperatorLog.h"
#include "app/QtMessages.h"
#include "app/Server.h"
#include "app/ui/TerminationSignals.h"
#include "app/ui/frmMain.h"
#include "net/Lines.h"

#include <QApplication>
#include <cstring>

#ifdef Q_OS_UNIX
#include <csignal>
#endif

namespace {
bool platformGiven(int argc, char **argv)
{
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strncmp(argv[i], "-platform=", 10) == 0)
            return true;
    }
    return false;
}
} // namespace

int main(int argc, char **argv)
{
#ifdef Q_OS_UNIX
    // A client or a reader of standard output going away is not a reason to end.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    // Before anything is written: a stream nobody reads must not stop us.
    standardOutput().prepareNonBlocking();
    standardError().prepareNonBlocking();
    installQtMessageFilter();
    TerminationSignals::install();

    const bool headless = qEnvironmentVariableIsEmpty("DISPLAY")
                          && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") && !platformGiven(argc, argv);
    if (headless)
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QApplication app(argc, argv);
    QApplication::setApplicationName(Server::applicationTitle());
    QApplication::setApplicationVersion(Server::versionText());
    // Closing the window hides it; only the exit work ends the program.
    QApplication::setQuitOnLastWindowClosed(false);

    Server server;
    // Test seam: VORLUNE_STALL_LIMIT_MS, a positive whole number of
    // milliseconds, shortens the time a send may make no progress before its
    // line is ended, so end-to-end tests need not wait 30 s. Anything else
    // is ignored.
    bool stallLimitGiven = false;
    const int stallLimitMs = qgetenv("VORLUNE_STALL_LIMIT_MS").toInt(&stallLimitGiven, 10);
    if (stallLimitGiven && stallLimitMs > 0)
        server.lines().setStallLimit(std::chrono::milliseconds(stallLimitMs));
    if (headless)
        server.AddLog(QStringLiteral("No display found: running headless"));

    frmMain window(server);
    TerminationSignals termination;
    QObject::connect(&termination, &TerminationSignals::received, &window, &frmMain::requestExit);

    window.show();
    window.Form_Load();
    // An exit during start-up has already done the exit work; the event loop
    // would not see its request, since it was not running yet.
    if (window.exitDone())
        return 0;
    return app.exec();
}
