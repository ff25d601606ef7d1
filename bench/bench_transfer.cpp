// Song streaming against a raw loopback copy of the same file, measured in
// the same run: a client in a thread of its own (so it never shares the
// server's event loop) asks for a song of 99,999,999 bytes, the largest a
// file header can announce, and reads it as fast as it can; then the same
// client reads the same file from a plain sender that writes large blocks.
// Also times "SLIST" of a 95,000-song list.
//
// Prints MB/s (1 MB = 10^6 bytes) of both, their ratio, the server's CPU
// seconds per GB sent (the server thread's own CPU clock, read by the client
// at the start and the end of the transfer), and where the server's time
// goes: pieces per second, event-loop wake-ups and send-gate waits per piece.
//
// Linux only (raw sockets and thread CPU clocks); not run by the tests.

#include "app/OperatorLog.h"
#include "app/Server.h"
#include "library/SongCatalogue.h"
#include "net/Lines.h"
#include "net/Winsock.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QTemporaryDir>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/socket.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr qint64 kSongSize = 99'999'999;
constexpr int kRounds = 3;
constexpr int kListRounds = 7;
constexpr int kListFolders = 950;
constexpr int kSongsPerFolder = 100;

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

double cpuSeconds(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

QString tempTemplate()
{
    const QFileInfo shm(QStringLiteral("/dev/shm"));
    const QString base = shm.isDir() && shm.isWritable() ? shm.filePath() : QDir::tempPath();
    return base + QStringLiteral("/bench_transfer-XXXXXX");
}

bool sendAll(int fd, const char *data, size_t n)
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

// Reads exactly n bytes (into buf, reused, when n exceeds it).
bool recvAll(int fd, std::vector<char> &buf, qint64 n, QByteArray *keep = nullptr)
{
    while (n > 0) {
        const ssize_t r = ::recv(fd, buf.data(), size_t(std::min<qint64>(n, qint64(buf.size()))), 0);
        if (r <= 0)
            return false;
        if (keep)
            keep->append(buf.data(), r);
        n -= r;
    }
    return true;
}

int connectTo(quint16 port)
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
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

struct Measure {
    double secs = 0;
    qint64 bytes = 0;
    double serverCpu = 0;       // CPU seconds of the sending thread
    quint64 wakeups = 0;        // event-loop wake-ups of the server thread
    quint64 pieces = 0;         // send completions seen by the server
    bool ok = false;
    double mbps() const { return secs > 0 ? double(bytes) / secs / 1e6 : 0; }
    double cpuPerGB() const { return bytes > 0 ? serverCpu / (double(bytes) / 1e9) : 0; }
};

// Counters the client thread reads at the start and the end of a transfer;
// the server thread bumps them.
std::atomic<quint64> gWakeups{0};
std::atomic<quint64> gCompletions{0};

// Runs the client in its own thread while this (the server's) thread runs
// its event loop, until the client is done.
void runClient(const std::function<void()> &client)
{
    QEventLoop loop;
    std::atomic<bool> done{false};
    std::thread t([&] {
        client();
        done = true;
        QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
    });
    while (!done)
        loop.exec();
    t.join();
}

// One timed request: `ask` is sent and its fixed-size reply read (untimed);
// the reply gives the length of what `request` then brings, which is timed.
Measure serverRequest(quint16 port, clockid_t serverClock, const QByteArray &ask, qint64 askReply,
                      qint64 (*lengthOf)(const QByteArray &), const QByteArray &request)
{
    Measure m;
    runClient([&] {
        const int fd = connectTo(port);
        if (fd < 0)
            return;
        std::vector<char> buf(1 << 20);
        QByteArray reply;
        if (!sendAll(fd, ask.constData(), size_t(ask.size())) || !recvAll(fd, buf, askReply, &reply)) {
            ::close(fd);
            return;
        }
        const qint64 length = lengthOf(reply);
        const double cpu0 = cpuSeconds(serverClock);
        const quint64 wake0 = gWakeups, done0 = gCompletions;
        const auto t0 = Clock::now();
        if (sendAll(fd, request.constData(), size_t(request.size())) && recvAll(fd, buf, length)) {
            m.secs = seconds(Clock::now() - t0);
            m.serverCpu = cpuSeconds(serverClock) - cpu0;
            m.wakeups = gWakeups - wake0;
            m.pieces = gCompletions - done0;
            m.bytes = length;
            m.ok = length > 0;
        }
        ::close(fd);
    });
    return m;
}

Measure serverSong(quint16 port, clockid_t serverClock)
{
    Measure m = serverRequest(port, serverClock, "SONG 1\r\n", 4096,
                              [](const QByteArray &header) { return header.mid(5, 8).trimmed().toLongLong(); },
                              "READY\r\n");
    m.ok = m.ok && m.bytes == kSongSize;
    return m;
}

// The plain sender: the file in blocks (1 MiB: the raw baseline; 4096: the
// same unit the server must use), straight to the socket.
Measure rawCopy(const QByteArray &path, qint64 size, size_t blockSize = 1 << 20)
{
    Measure m;
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(listener, 1) != 0
        || ::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        ::close(listener);
        return m;
    }
    const quint16 port = ntohs(addr.sin_port);
    std::atomic<double> senderCpu{0};
    std::thread sender([&] {
        const int fd = ::accept(listener, nullptr, nullptr);
        const int file = ::open(path.constData(), O_RDONLY);
        std::vector<char> block(blockSize);
        char go[7];
        ssize_t got = 0;
        while (got < 7) {
            const ssize_t r = ::recv(fd, go + got, size_t(7 - got), 0);
            if (r <= 0)
                break;
            got += r;
        }
        const double cpu0 = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        for (ssize_t r; (r = ::read(file, block.data(), block.size())) > 0;)
            if (!sendAll(fd, block.data(), size_t(r)))
                break;
        senderCpu = cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - cpu0;
        ::close(file);
        ::close(fd);
    });
    std::thread client([&] {
        const int fd = connectTo(port);
        if (fd < 0)
            return;
        std::vector<char> buf(1 << 20);
        const auto t0 = Clock::now();
        if (sendAll(fd, "READY\r\n", 7) && recvAll(fd, buf, size)) {
            m.secs = seconds(Clock::now() - t0);
            m.bytes = size;
            m.ok = true;
        }
        ::close(fd);
    });
    client.join();
    sender.join();
    ::close(listener);
    m.serverCpu = senderCpu;
    return m;
}

Measure serverList(quint16 port, clockid_t serverClock, qint64 *listLength)
{
    Measure m = serverRequest(port, serverClock, "SLLEN\r\n", 10,
                              [](const QByteArray &reply) { return QByteArray(reply.constData()).toLongLong(); },
                              "SLIST\r\n");
    *listLength = m.bytes;
    return m;
}

bool writeSong(const QString &path, qint64 size)
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

const Measure &best(const std::vector<Measure> &runs)
{
    return *std::max_element(runs.begin(), runs.end(),
                             [](const Measure &a, const Measure &b) { return a.mbps() < b.mbps(); });
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);

    QTemporaryDir songDir(tempTemplate());
    if (!songDir.isValid() || !writeSong(songDir.filePath(QStringLiteral("big.mp3")), kSongSize)) {
        std::fprintf(stderr, "cannot write the song file\n");
        return 1;
    }
    const QByteArray songPath = QFile::encodeName(songDir.filePath(QStringLiteral("big.mp3")));

    Server server;
    server.log().setEchoToStdout(false);
    server.setTxtIP(QStringLiteral("127.0.0.1"));
    server.setTxtPort(QStringLiteral("0"));
    server.setTxtMusicFolder(songDir.path());
    server.catalogue().LoadMP3List();
    server.lines().cmdListen_Click(server.fields().ip, server.fields().port);
    const quint16 port = server.lines().socket(0) ? server.lines().socket(0)->LocalPort() : 0;
    if (port == 0 || server.catalogue().SongCount() != 1) {
        std::fprintf(stderr, "server did not start\n");
        return 1;
    }
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake,
                     [] { gWakeups.fetch_add(1, std::memory_order_relaxed); });
    QObject::connect(&server.lines(), &Lines::SendComplete,
                     [] { gCompletions.fetch_add(1, std::memory_order_relaxed); });

    clockid_t serverClock{};
    pthread_getcpuclockid(pthread_self(), &serverClock);

    std::printf("Song of %lld bytes, %d rounds each, interleaved (best and median)\n", kSongSize, kRounds);
    std::vector<Measure> song, raw, raw4k;
    const quint64 gate0 = server.lines().gateWaitRounds();
    for (int i = 0; i < kRounds; ++i) {
        raw.push_back(rawCopy(songPath, kSongSize));
        raw4k.push_back(rawCopy(songPath, kSongSize, 4096));
        song.push_back(serverSong(port, serverClock));
        if (!raw.back().ok || !raw4k.back().ok || !song.back().ok) {
            std::fprintf(stderr, "a transfer failed (raw %d, raw 4096 %d, server %d)\n", raw.back().ok,
                         raw4k.back().ok, song.back().ok);
            return 1;
        }
        std::printf("  round %d: server %8.1f MB/s   raw %8.1f MB/s   raw in 4096-byte writes %8.1f MB/s\n", i + 1,
                    song.back().mbps(), raw.back().mbps(), raw4k.back().mbps());
    }
    const quint64 gateWaits = server.lines().gateWaitRounds() - gate0;

    const Measure &s = best(song);
    const Measure &r = best(raw);
    const Measure &r4 = best(raw4k);
    std::vector<double> sm, rm, r4m;
    for (const Measure &m : song)
        sm.push_back(m.mbps());
    for (const Measure &m : raw)
        rm.push_back(m.mbps());
    for (const Measure &m : raw4k)
        r4m.push_back(m.mbps());
    std::printf("\nServer song stream : best %8.1f MB/s, median %8.1f MB/s\n", s.mbps(), median(sm));
    std::printf("Raw loopback copy  : best %8.1f MB/s, median %8.1f MB/s\n", r.mbps(), median(rm));
    std::printf("Raw, 4096-byte writes: best %6.1f MB/s, median %8.1f MB/s (%.2f us per write)\n", r4.mbps(),
                median(r4m), 1e6 * r4.secs / double((kSongSize + 4095) / 4096));
    std::printf("Ratio server / raw : best %.2f, median %.2f\n", s.mbps() / r.mbps(), median(sm) / median(rm));
    std::printf("Ratio server / raw 4096-byte writes: best %.2f, median %.2f\n", s.mbps() / r4.mbps(),
                median(sm) / median(r4m));
    std::printf("Server CPU         : %.3f s per GB sent (raw sender: %.3f s per GB; in 4096-byte writes: %.3f)\n",
                s.cpuPerGB(), r.cpuPerGB(), r4.cpuPerGB());
    std::printf("Server CPU busy    : %.0f %% of the transfer's wall time\n", 100.0 * s.serverCpu / s.secs);
    std::printf("Pieces             : %llu completions, %.0f pieces/s, %.2f us wall per piece\n",
                (unsigned long long)s.pieces, double(s.pieces) / s.secs, 1e6 * s.secs / double(s.pieces));
    std::printf("Event loop         : %.2f wake-ups per piece; send-gate waits %.2f per piece (all rounds)\n",
                double(s.wakeups) / double(s.pieces),
                double(gateWaits) / double(kRounds * ((kSongSize + 4095) / 4096)));

    if (app.arguments().contains(QStringLiteral("--song-only")))
        return 0;

    // --- SLIST of 95,000 songs -------------------------------------------------
    QTemporaryDir listDir(tempTemplate());
    for (int folder = 0; folder < kListFolders; ++folder) {
        const QString dir = listDir.filePath(QStringLiteral("Artist %1").arg(folder, 4, 10, QLatin1Char('0')));
        QDir().mkpath(dir);
        for (int i = 0; i < kSongsPerFolder; ++i) {
            QFile f(dir + QStringLiteral("/Track %1 - Some Song Title.mp3").arg(i, 3, 10, QLatin1Char('0')));
            f.open(QIODevice::WriteOnly);
        }
    }
    server.setTxtMusicFolder(listDir.path());
    server.catalogue().LoadMP3List();
    std::printf("\nSong list: %d songs\n", server.catalogue().SongCount());
    std::vector<Measure> lists;
    qint64 listLength = 0;
    for (int i = 0; i < kListRounds; ++i) {
        lists.push_back(serverList(port, serverClock, &listLength));
        if (!lists.back().ok) {
            std::fprintf(stderr, "SLIST failed\n");
            return 1;
        }
        std::printf("  round %d: %.1f ms\n", i + 1, lists.back().secs * 1e3);
    }
    const Measure &l = best(lists);
    const double rawSecs = double(listLength) / (r.mbps() * 1e6);
    std::printf("SLIST              : %lld bytes in %.1f ms (best of %d), %.1f MB/s, %.2f wake-ups per piece\n",
                listLength, l.secs * 1e3, kListRounds, l.mbps(), double(l.wakeups) / double(std::max<quint64>(1, l.pieces)));
    std::printf("Raw copy, same size: %.1f ms at the raw rate above; ratio SLIST / raw %.2f\n", rawSecs * 1e3,
                rawSecs / l.secs);
    return 0;
}
