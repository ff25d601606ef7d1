#include "app/TerminationSignals.h"

#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int gPair[2] = {-1, -1}; // [0] written by the handler, [1] read by the notifier

void onSignal(int signalNumber)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // Non-blocking: with the pair full a signal is already pending anyway.
    [[maybe_unused]] const ssize_t n = ::write(gPair[0], &byte, 1);
    errno = saved;
}
} // namespace

bool TerminationSignals::install()
{
    if (gPair[0] >= 0)
        return true;
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
        return false;
    for (int fd : pair) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    gPair[0] = pair[0];
    gPair[1] = pair[1];
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) {
        // A signal ignored by whoever started us stays ignored: nohup, or a
        // shell that keeps Ctrl+C away from a job in the background.
        struct sigaction inherited = {};
        if (::sigaction(signalNumber, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN)
            continue;
        ::sigaction(signalNumber, &action, nullptr);
    }
    return true;
}

TerminationSignals::TerminationSignals(QObject *parent) : QObject(parent)
{
    if (gPair[1] < 0)
        return;
    mNotifier = new QSocketNotifier(gPair[1], QSocketNotifier::Read, this);
    connect(mNotifier, &QSocketNotifier::activated, this, &TerminationSignals::readable);
}

TerminationSignals::~TerminationSignals() = default;

void TerminationSignals::readable()
{
    unsigned char bytes[16];
    const ssize_t n = ::read(gPair[1], bytes, sizeof bytes);
    // An exit asked for wins over a Reload that arrived with it: the Reload's
    // scan would only hold the exit up, past a service manager's patience
    // (reload, then stop). Reloads that arrived together are one rescan.
    int exitSignal = 0;
    bool reload = false;
    for (ssize_t i = 0; i < n; ++i) {
        if (bytes[i] == SIGUSR1)
            reload = true;
        else if (exitSignal == 0)
            exitSignal = bytes[i];
    }
    if (exitSignal != 0)
        emit received(exitSignal);
    else if (reload)
        emit reloadRequested();
}

#else

bool TerminationSignals::install()
{
    return false;
}

TerminationSignals::TerminationSignals(QObject *parent) : QObject(parent)
{
}
TerminationSignals::~TerminationSignals() = default;
void TerminationSignals::readable()
{
}

#endif
