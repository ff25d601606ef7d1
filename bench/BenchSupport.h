// What the benchmarks share: the core server started on a free loopback port,
// song files in memory, blocking clients on raw sockets, a bare sendfile(2)
// sender to compare against, processor placement, and medians. Header-only,
// so that every bench/bench_*.cpp still builds as one program.
//
// Nothing here runs nested inside the server's waits: the clients and the
// bare senders run in threads of their own, and runClients() serves the
// calling thread's event loop until they are done, so the server (on that
// thread) handles their requests meanwhile.
//
// Linux only (raw sockets, sendfile and thread affinity).

#pragma once

#include "app/Server.h"
#include "library/SongCatalogue.h"
#include "net/Lines.h"
#include "net/Winsock.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QStringList>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <initializer_list>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

// Senders (the server's thread, the bare senders) run on the first
// processor, the clients that read on the second, so that every sender
// meets the same placement: left to the scheduler, a sender and its reader
// now share a processor and now do not, which moves a transfer's rate by
// half. Nothing is pinned on a single processor. `task` 0 is the calling
// thread.
enum class Side { Sender, Reader };
inline void pin(Side side, pid_t task = 0)
{
    if (std::thread::hardware_concurrency() < 2)
        return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(side == Side::Sender ? 0 : 1, &set);
    sched_setaffinity(task, sizeof set, &set);
}

// The value after `name` on the command line, at least 1; `fallback` when
// it is not given.
inline int intOption(const QStringList &args, const QString &name, int fallback)
{
    const qsizetype at = args.indexOf(name);
    return at >= 0 && at + 1 < args.size() ? std::max(1, args[at + 1].toInt()) : fallback;
}

inline double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Median and range of a series of measurements.
struct Spread {
    double median = 0, low = 0, high = 0;
};

inline Spread spread(std::vector<double> v)
{
    if (v.empty())
        return {};
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v.front(), v.back()};
}

// --- song files ----------------------------------------------------------------

// A QTemporaryDir template in memory where the machine has a RAM file
// system: the disk is not what is measured.
inline QString memoryTempTemplate(const char *name)
{
    const QFileInfo shm(QStringLiteral("/dev/shm"));
    const QString base = shm.isDir() && shm.isWritable() ? shm.filePath() : QDir::tempPath();
    return base + QLatin1Char('/') + QLatin1String(name) + QStringLiteral("-XXXXXX");
}

// A song of `size` bytes of the same pseudo-random content every run.
inline bool writeSong(const QString &path, qint64 size)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(1 << 20, Qt::Uninitialized);
    quint32 x = 12345;
    for (char &c : block) {
        x = x * 1664525u + 1013904223u;
        c = char(x >> 24);
    }
    for (qint64 left = size; left > 0;) {
        const qint64 n = std::min<qint64>(left, block.size());
        if (f.write(block.constData(), n) != n)
            return false;
        left -= n;
    }
    return true;
}

// --- the core server -------------------------------------------------------------

// Starts the core on 127.0.0.1, a port of the system's choice, serving
// `folder`: the port it listens on, or 0.
inline quint16 startServer(Server &server, const QString &folder)
{
    server.setTxtIP(QStringLiteral("127.0.0.1"));
    server.setTxtPort(QStringLiteral("0"));
    server.setTxtMusicFolder(folder);
    server.catalogue().LoadMP3List();
    server.lines().cmdListen_Click(server.fields().ip, server.fields().port);
    return server.lines().socket(0) ? server.lines().socket(0)->LocalPort() : 0;
}

// --- blocking clients --------------------------------------------------------------

// A connection to the loopback port, without delay on its sends; -1 on failure.
inline int connectTo(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

inline bool sendAll(int fd, const char *data, size_t n)
{
    while (n > 0) {
        const ssize_t w = ::send(fd, data, n, MSG_NOSIGNAL);
        if (w <= 0)
            return false;
        data += w;
        n -= size_t(w);
    }
    return true;
}

inline bool sendAll(int fd, const QByteArray &bytes)
{
    return sendAll(fd, bytes.constData(), size_t(bytes.size()));
}

// Reads exactly n bytes through buf (reused when n exceeds it), appending
// them to `keep` if given; after each read, `onRead` learns how many bytes
// were in before it and how many it brought.
inline bool recvAll(int fd, std::vector<char> &buf, qint64 n, QByteArray *keep = nullptr,
                    const std::function<void(qint64 before, qint64 read)> &onRead = {})
{
    for (qint64 got = 0; got < n;) {
        const ssize_t r = ::recv(fd, buf.data(), size_t(std::min<qint64>(n - got, qint64(buf.size()))), 0);
        if (r <= 0)
            return false;
        if (onRead)
            onRead(got, r);
        if (keep)
            keep->append(buf.data(), r);
        got += r;
    }
    return true;
}

// Runs each client in a thread of its own, on the readers' processor, while
// this (the server's) thread serves its event loop, until all are done.
inline void runClients(std::initializer_list<std::function<void()>> clients)
{
    QEventLoop loop;
    std::atomic<size_t> running{clients.size()};
    std::vector<std::thread> threads;
    for (const std::function<void()> &client : clients) {
        threads.emplace_back([&loop, &running, &client] {
            pin(Side::Reader);
            client();
            --running;
            QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
        });
    }
    while (running > 0)
        loop.exec();
    for (std::thread &t : threads)
        t.join();
}

inline void runClient(const std::function<void()> &client)
{
    runClients({client});
}

// --- the bare sender ---------------------------------------------------------------

// Sends the first `size` bytes of `file` to `fd` by sendfile(2) on a blocking
// socket: the whole in one call, repeated only where the kernel stops short.
inline void sendWholeFile(int fd, int file, qint64 size)
{
    off_t offset = 0;
    while (offset<size && ::sendfile(fd, file, &offset, size_t(size - offset))> 0) {}
}

// A bare sender against which the server is measured: it listens on a
// loopback port, and in a thread on the senders' processor accepts one
// connection, opens `path`, waits for the client's 7 bytes ("READY\r\n")
// and calls `send` with the connection and the file. `read` runs meanwhile
// in a thread on the readers' processor with the port to connect to.
// False when no port could be had (then neither runs).
inline bool bareTransfer(const QByteArray &path, const std::function<void(int fd, int file)> &send,
                         const std::function<void(quint16 port)> &read)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(listener, 1) != 0
        || ::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        ::close(listener);
        return false;
    }
    std::thread sender([&] {
        pin(Side::Sender);
        const int fd = ::accept(listener, nullptr, nullptr);
        const int file = ::open(path.constData(), O_RDONLY);
        char go[7];
        for (ssize_t got = 0, r; got < 7 && (r = ::recv(fd, go + got, size_t(7 - got), 0)) > 0;)
            got += r;
        send(fd, file);
        ::close(file);
        ::close(fd);
    });
    std::thread reader([&] {
        pin(Side::Reader);
        read(ntohs(addr.sin_port));
    });
    reader.join();
    sender.join();
    ::close(listener);
    return true;
}

} // namespace bench
