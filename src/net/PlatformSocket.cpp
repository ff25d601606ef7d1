#include "net/PlatformSocket.h"

#include <cerrno>
#include <vector>

#ifdef Q_OS_WIN
#include <io.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#endif
#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif
#ifdef Q_OS_LINUX
#include <linux/sockios.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <time.h>
#endif

namespace PlatformSocket {

namespace {

constexpr int kKeepAliveIdleSeconds = 60;
constexpr int kKeepAliveIntervalSeconds = 10;
constexpr int kKeepAliveProbes = 5;

template <typename T> void setOption(qintptr fd, int level, int name, const T &value)
{
#ifdef Q_OS_WIN
    ::setsockopt(static_cast<SOCKET>(fd), level, name, reinterpret_cast<const char *>(&value), sizeof value);
#else
    ::setsockopt(static_cast<int>(fd), level, name, &value, sizeof value);
#endif
}

} // namespace

void tuneKeepAlive([[maybe_unused]] qintptr fd)
{
#ifdef TCP_KEEPIDLE
    setOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, kKeepAliveIdleSeconds);
#endif
#ifdef TCP_KEEPINTVL
    setOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, kKeepAliveIntervalSeconds);
#endif
#ifdef TCP_KEEPCNT
    setOption(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepAliveProbes);
#endif
}

void resetOnClose(qintptr fd)
{
    struct linger abortive = {};
    abortive.l_onoff = 1;
    abortive.l_linger = 0;
    setOption(fd, SOL_SOCKET, SO_LINGER, abortive);
}

void closeDescriptor(qintptr fd)
{
    if (fd < 0)
        return;
#ifdef Q_OS_WIN
    ::closesocket(static_cast<SOCKET>(fd));
#else
    ::close(static_cast<int>(fd));
#endif
}

QHostAddress peerAddress(qintptr fd)
{
    sockaddr_storage address = {};
    socklen_t size = sizeof address;
#ifdef Q_OS_WIN
    const bool read
            = ::getpeername(static_cast<SOCKET>(fd), reinterpret_cast<sockaddr *>(&address), &size) == 0;
#else
    const bool read = ::getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr *>(&address), &size) == 0;
#endif
    return read ? QHostAddress(reinterpret_cast<const sockaddr *>(&address)) : QHostAddress();
}

qint64 sendNow([[maybe_unused]] qintptr fd, [[maybe_unused]] const char *data, [[maybe_unused]] qint64 size)
{
#ifdef Q_OS_UNIX
    const ssize_t n = ::send(static_cast<int>(fd), data, size_t(size), MSG_NOSIGNAL | MSG_DONTWAIT);
    return n > 0 ? qint64(n) : 0;
#else
    return 0;
#endif
}

qint64 sendFileNow([[maybe_unused]] qintptr fd, [[maybe_unused]] int file, [[maybe_unused]] qint64 offset,
                   [[maybe_unused]] qint64 size, int *error)
{
#ifdef Q_OS_LINUX
    // sendfile(2) has no MSG_NOSIGNAL, and a peer gone meanwhile would raise
    // SIGPIPE, which ends a process that does not ignore it. So the signal
    // is blocked for the call and one the call raised is taken back: the
    // process's own handling of SIGPIPE stays as it was.
    sigset_t pipe;
    sigset_t previous;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &previous);
    off_t from = static_cast<off_t>(offset);
    qint64 taken = 0;
    *error = 0;
    // Until the socket is full or the file ends: only the call after a short
    // one tells the two apart.
    while (taken < size) {
        const ssize_t n = ::sendfile(static_cast<int>(fd), file, &from, size_t(size - taken));
        if (n > 0) {
            taken += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        *error = n < 0 ? errno : 0;
        break;
    }
    if (*error == EPIPE && !sigismember(&previous, SIGPIPE)) {
        const timespec none = {};
        while (sigtimedwait(&pipe, nullptr, &none) < 0 && errno == EINTR) {}
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return taken;
#else
    *error = ENOSYS;
    return 0;
#endif
}

qint64 undeliveredBytes([[maybe_unused]] qintptr fd)
{
#ifdef Q_OS_LINUX
    int queued = 0;
    if (::ioctl(static_cast<int>(fd), SIOCOUTQ, &queued) == 0 && queued > 0)
        return queued;
#endif
    return 0;
}

qintptr duplicate([[maybe_unused]] qintptr fd)
{
#ifdef Q_OS_UNIX
    return ::fcntl(static_cast<int>(fd), F_DUPFD_CLOEXEC, 0);
#else
    return -1;
#endif
}

qintptr acceptNow(qintptr listener, int *error)
{
#ifdef Q_OS_LINUX
    const int fd = ::accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
#elif defined(Q_OS_WIN)
    const SOCKET fd = ::accept(static_cast<SOCKET>(listener), nullptr, nullptr);
#else
    const int fd = ::accept(static_cast<int>(listener), nullptr, nullptr);
#endif
#ifdef Q_OS_WIN
    if (fd != INVALID_SOCKET) {
        *error = 0;
        return qintptr(fd);
    }
    const int why = ::WSAGetLastError();
    *error = why == WSAEWOULDBLOCK || why == WSAECONNRESET || why == WSAEINTR ? 0
            : why == WSAEMFILE || why == WSAENOBUFS                           ? EMFILE
                                                                              : why;
    return -1;
#else
    if (fd >= 0) {
#ifndef Q_OS_LINUX
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
#endif
        *error = 0;
        return fd;
    }
    switch (errno) {
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM: *error = EMFILE; break;
    // Nothing pending, or a connection that failed before it was taken (the
    // network errors accept(2) passes on): nothing is wrong with the listener.
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case EPERM:
    case ENETDOWN:
    case ENETUNREACH:
    case EHOSTUNREACH:
    case EHOSTDOWN:
    case ENOPROTOOPT:
    case EOPNOTSUPP:
    case ETIMEDOUT: *error = 0; break;
    default: *error = errno; break;
    }
    return -1;
#endif
}

bool descriptorsFree([[maybe_unused]] qintptr fd, [[maybe_unused]] int count)
{
#ifdef Q_OS_UNIX
    std::vector<int> taken;
    taken.reserve(size_t(count));
    while (int(taken.size()) < count) {
        const int copy = ::fcntl(static_cast<int>(fd), F_DUPFD_CLOEXEC, 0);
        if (copy < 0)
            break;
        taken.push_back(copy);
    }
    const bool enough = int(taken.size()) == count;
    for (int copy : taken)
        ::close(copy);
    return enough;
#else
    return true;
#endif
}

void raiseDescriptorLimit()
{
#ifdef Q_OS_UNIX
    rlimit limit = {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max)
        return;
    limit.rlim_cur = limit.rlim_max;
    // An unlimited hard limit cannot be the soft one everywhere (Linux caps
    // it at fs.nr_open): then the soft limit stays as it is.
    ::setrlimit(RLIMIT_NOFILE, &limit);
#endif
}

qint64 readFileAt(int file, qint64 offset, char *dest, qint64 size, int *error)
{
    *error = 0;
    qint64 done = 0;
    while (done < size) {
#ifdef Q_OS_WIN
        // No positional read for a descriptor here: seek, then read.
        const unsigned int chunk = unsigned(qMin<qint64>(size - done, 1 << 30));
        const int got
                = ::_lseeki64(file, offset + done, SEEK_SET) < 0 ? -1 : ::_read(file, dest + done, chunk);
#else
        const ssize_t got
                = ::pread(file, dest + done, size_t(size - done), static_cast<off_t>(offset + done));
#endif
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            *error = errno;
        if (got <= 0)
            break;
        done += got;
    }
    return done;
}

void ResetWatch::watch([[maybe_unused]] qintptr fd)
{
    close();
#ifdef Q_OS_LINUX
    mFd = ::fcntl(static_cast<int>(fd), F_DUPFD_CLOEXEC, 0);
#endif
}

bool ResetWatch::peerReset() const
{
#ifdef Q_OS_LINUX
    tcp_info info = {};
    socklen_t size = sizeof info;
    return mFd >= 0 && ::getsockopt(mFd, IPPROTO_TCP, TCP_INFO, &info, &size) == 0
            && info.tcpi_state == TCP_CLOSE;
#else
    return false;
#endif
}

void ResetWatch::close()
{
#ifdef Q_OS_LINUX
    if (mFd >= 0)
        ::close(mFd);
#endif
    mFd = -1;
}

} // namespace PlatformSocket
