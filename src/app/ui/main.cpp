// Entry point: chooses headless mode when there is no display, sets up the
// termination signals, creates the Server and its window, runs start-up and
// then the event loop until the exit work asks it to end.
#include "app/Server.h"
#include "app/ui/TerminationSignals.h"
#include "app/ui/frmMain.h"

#include <QApplication>
#include <cstring>

#ifdef Q_OS_UNIX
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
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

#ifdef Q_OS_UNIX
// A full pipe on standard output must not stop the server: log entries that
// cannot be written at once are dropped. A terminal is left alone, since its
// flags are shared with the shell that started us.
void makeStdoutNonBlocking()
{
    struct stat info = {};
    if (::fstat(STDOUT_FILENO, &info) != 0)
        return;
    if (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode))
        ::fcntl(STDOUT_FILENO, F_SETFL, ::fcntl(STDOUT_FILENO, F_GETFL) | O_NONBLOCK);
}
#endif
} // namespace

int main(int argc, char **argv)
{
#ifdef Q_OS_UNIX
    // A client or a reader of standard output going away is not a reason to end.
    std::signal(SIGPIPE, SIG_IGN);
    makeStdoutNonBlocking();
#endif
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
