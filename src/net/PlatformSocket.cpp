#include "net/PlatformSocket.h"

#ifdef Q_OS_WIN
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace PlatformSocket {

namespace {

constexpr int kKeepAliveIdleSeconds = 60;
constexpr int kKeepAliveIntervalSeconds = 10;
constexpr int kKeepAliveProbes = 5;

template <typename T>
void setOption(qintptr fd, int level, int name, const T &value)
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

qint64 sendNow([[maybe_unused]] qintptr fd, [[maybe_unused]] const char *data, [[maybe_unused]] qint64 size)
{
#ifdef Q_OS_UNIX
    const ssize_t n = ::send(static_cast<int>(fd), data, size_t(size), MSG_NOSIGNAL | MSG_DONTWAIT);
    return n > 0 ? qint64(n) : 0;
#else
    return 0;
#endif
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
    return mFd >= 0 && ::getsockopt(mFd, IPPROTO_TCP, TCP_INFO, &info, &size) == 0 && info.tcpi_state == TCP_CLOSE;
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
