#include "app/ResourceFailures.h"

#include "app/OperatorLog.h"

#include <QByteArray>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

#ifdef Q_OS_UNIX
#include <csignal>
#include <cstring>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace ResourceFailures {
namespace {
std::terminate_handler gPreviousTerminate = nullptr;

#ifdef Q_OS_UNIX
// Written by the fault handler, which may not allocate: made at install.
char gFaultNote[256];
size_t gFaultNoteSize = 0;

void writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n <= 0)
            return;
        data += n;
        size -= size_t(n);
    }
}

void onFault(int signalNumber)
{
    // SA_RESETHAND has put the signal's own action back: raising it again
    // ends the program as the fault would have (core dump included).
    const char *name = signalNumber == SIGBUS ? "SIGBUS" : "SIGSEGV";
    writeAll(STDERR_FILENO, "vorlune-server: ending on a fault (", 35);
    writeAll(STDERR_FILENO, name, std::strlen(name));
    writeAll(STDERR_FILENO, ")", 1);
    writeAll(STDERR_FILENO, gFaultNote, gFaultNoteSize);
    writeAll(STDERR_FILENO, "\n", 1);
    ::raise(signalNumber);
}
#endif

[[noreturn]] void onTerminate()
{
    if (const std::exception_ptr pending = std::current_exception()) {
        try {
            std::rethrow_exception(pending);
        } catch (const std::bad_alloc &) {
            end(QStringLiteral("out of memory"));
        } catch (...) {
        }
    }
    if (gPreviousTerminate)
        gPreviousTerminate();
    std::abort();
}
} // namespace

void install()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    gPreviousTerminate = std::set_terminate(onTerminate);
#ifdef Q_OS_UNIX
    const QByteArray note = addressSpaceNote().toUtf8().left(sizeof gFaultNote);
    std::memcpy(gFaultNote, note.constData(), size_t(note.size()));
    gFaultNoteSize = size_t(note.size());
    struct sigaction action = {};
    action.sa_handler = onFault;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND | SA_NODEFER;
    for (const int signalNumber : {SIGSEGV, SIGBUS})
        ::sigaction(signalNumber, &action, nullptr);
#endif
}

bool isThreadStartFailure(const QString &qtMessage)
{
    return qtMessage.startsWith(QLatin1String("QThread::start: Thread creation error"));
}

QString addressSpaceNote()
{
#ifdef Q_OS_UNIX
    struct rlimit limit = {};
    if (::getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        return QStringLiteral(", with the address space limited to %1 KiB (ulimit -v)")
                .arg(limit.rlim_cur / 1024);
#endif
    return QString();
}

void end(const QString &why)
{
    // Memory may be short: without it, the line goes without its time stamp.
    static const char plain[] = "Ending: out of resources; the settings are not saved\n";
    QByteArray line;
    try {
        line = stdoutLogEntry(QStringLiteral("Ending: ") + why + addressSpaceNote()
                              + QStringLiteral("; the settings are not saved"));
    } catch (...) {
        line = QByteArray::fromRawData(plain, sizeof plain - 1);
    }
#ifdef Q_OS_UNIX
    writeAll(STDOUT_FILENO, line.constData(), size_t(line.size()));
    ::_exit(kExitStatus);
#else
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fflush(stdout);
    std::_Exit(kExitStatus);
#endif
}

} // namespace ResourceFailures
