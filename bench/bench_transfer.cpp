// Song streaming against bare senders of the same file, measured in the
// same run: a client in a thread of its own (so it never shares the server's
// event loop) asks for a song of 99,999,999 bytes, the largest a file header
// can announce, and reads it as fast as it can; the same client reads the
// same file from a bare sender that hands the whole file to one sendfile(2)
// call (the limit of the machine) and from one that writes it in 4096-byte
// pieces. Halfway through each server stream another client connects and
// sends "SLLEN": how long until the server has logged its connection and its
// message (while the song still streams), and when its reply comes (after
// the song, as one conversation at a time wants it). Also times "SLIST" of a
// 95,000-song list.
//
// Prints MB/s (1 MB = 10^6 bytes) and CPU seconds per GB sent of each sender
// (the sending thread's own CPU clock, read by the client at the start and
// the end of the transfer), the ratios, and where the server's time goes:
// pieces per second, event-loop wake-ups and send-gate waits per piece.
// Senders run on the first processor, readers on the second. --rounds N sets
// the rounds (default 5); --song-only skips SLIST.
//
// Linux only (raw sockets, sendfile and thread CPU clocks); not run by the
// tests.

#include "BenchSupport.h"
#include "app/OperatorLog.h"
#include "app/Server.h"
#include "library/SongCatalogue.h"
#include "net/Lines.h"
#include "net/Winsock.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <pthread.h>
#include <sys/socket.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace bench;

constexpr qint64 kSongSize = 99'999'999;
constexpr int kDefaultRounds = 5;
constexpr int kListRounds = 7;
constexpr int kListFolders = 950;
constexpr int kSongsPerFolder = 100;

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

double millis(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

double cpuSeconds(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

struct Measure {
    double secs = 0;
    qint64 bytes = 0;
    double senderCpu = 0; // CPU seconds of the sending thread
    quint64 wakeups = 0;  // event-loop wake-ups of the server thread
    quint64 pieces = 0;   // send completions seen by the server
    bool ok = false;
    // Another client's arrival during the stream, in ms after it began to
    // connect / sent its message: logged, and its reply received. Negative:
    // not seen.
    double connectLogged = -1;
    double messageLogged = -1;
    double replied = -1;
    double songEnded = -1;       // the song's last byte, ms after that message
    bool heldDuringSong = false; // no reply to that message while the song streamed
    double mbps() const { return secs > 0 ? double(bytes) / secs / 1e6 : 0; }
    double cpuPerGB() const { return bytes > 0 ? senderCpu / (double(bytes) / 1e9) : 0; }
};

// Counters and times the client threads read; the server thread sets them.
std::atomic<quint64> gWakeups{0};
std::atomic<quint64> gCompletions{0};
std::atomic<bool> gWatchLog{false};
std::atomic<Clock::rep> gConnectLoggedAt{0};
std::atomic<Clock::rep> gMessageLoggedAt{0};

Clock::time_point at(const std::atomic<Clock::rep> &stamp)
{
    return Clock::time_point(Clock::duration(stamp.load()));
}

// One timed request: `ask` is sent and its fixed-size reply read (untimed);
// the reply gives the length of what `request` then brings, which is timed.
// With `arrival`, another client connects when half of it is in and says
// "SLLEN".
Measure serverRequest(quint16 port, clockid_t serverClock, const QByteArray &ask, qint64 askReply,
                      qint64 (*lengthOf)(const QByteArray &), const QByteArray &request, bool arrival = false)
{
    Measure m;
    runClient([&] {
        const int fd = connectTo(port);
        if (fd < 0)
            return;
        std::vector<char> buf(1 << 20);
        QByteArray reply;
        if (!sendAll(fd, ask) || !recvAll(fd, buf, askReply, &reply)) {
            ::close(fd);
            return;
        }
        const qint64 length = lengthOf(reply);
        std::atomic<bool> halfway{false};
        std::atomic<bool> ended{false};
        Clock::time_point connectAt, sentAt, repliedAt;
        bool replyOk = false;
        bool held = false;
        std::thread other;
        if (arrival) {
            other = std::thread([&] {
                pin(Side::Reader);
                halfway.wait(false); // sleeps: a spinning client would take a core from the server
                gConnectLoggedAt = 0;
                gMessageLoggedAt = 0;
                gWatchLog = true;
                connectAt = Clock::now();
                const int b = connectTo(port);
                if (b < 0)
                    return;
                sentAt = Clock::now();
                std::vector<char> small(64);
                const bool sent = sendAll(b, "SLLEN\r\n", 7);
                ended.wait(false);
                // Held while the song streams; answered once the next arrival
                // comes after it. "SYN" makes that arrival and is held in
                // turn (no CR LF), until "C \r\n" completes it: the server's
                // buffer is empty again for the next round.
                char probe = 0;
                held = ::recv(b, &probe, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
                replyOk = sent && sendAll(b, "SYN", 3) && recvAll(b, small, 10);
                repliedAt = Clock::now();
                replyOk = replyOk && sendAll(b, "C \r\n", 4) && recvAll(b, small, 1);
                ::close(b);
            });
        }
        const double cpu0 = cpuSeconds(serverClock);
        const quint64 wake0 = gWakeups, done0 = gCompletions;
        const auto t0 = Clock::now();
        const bool got
                = sendAll(fd, request) && recvAll(fd, buf, length, nullptr, [&](qint64 before, qint64 read) {
                      if (before < length / 2 && before + read >= length / 2) {
                          halfway = true;
                          halfway.notify_all();
                      }
                  });
        const auto t1 = Clock::now();
        if (got) {
            m.secs = seconds(t1 - t0);
            m.senderCpu = cpuSeconds(serverClock) - cpu0;
            m.wakeups = gWakeups - wake0;
            m.pieces = gCompletions - done0;
            m.bytes = length;
            m.ok = length > 0;
        }
        halfway = true;
        halfway.notify_all();
        ended = true;
        ended.notify_all();
        ::close(fd);
        if (other.joinable()) {
            other.join();
            gWatchLog = false;
            m.heldDuringSong = held;
            if (replyOk) {
                m.connectLogged = millis(connectAt, at(gConnectLoggedAt));
                m.messageLogged = millis(sentAt, at(gMessageLoggedAt));
                m.replied = millis(sentAt, repliedAt);
                m.songEnded = millis(sentAt, t1);
            } else {
                m.ok = false;
            }
        }
    });
    return m;
}

Measure serverSong(quint16 port, clockid_t serverClock)
{
    Measure m = serverRequest(
            port, serverClock, "SONG 1\r\n", 4096,
            [](const QByteArray &header) { return header.mid(5, 8).trimmed().toLongLong(); }, "READY\r\n",
            true);
    m.ok = m.ok && m.bytes == kSongSize;
    return m;
}

enum class Bare { WholeSendfile, Writes4096 };

// A bare sender on a blocking socket: the whole file in one sendfile(2)
// call (repeated only where the kernel stops short), or read and written in
// 4096-byte pieces, the unit the server used to send songs in.
Measure bareSend(const QByteArray &path, qint64 size, Bare kind)
{
    Measure m;
    std::atomic<double> senderCpu{0};
    bareTransfer(
            path,
            [&](int fd, int file) {
                const double cpu0 = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
                if (kind == Bare::WholeSendfile) {
                    sendWholeFile(fd, file, size);
                } else {
                    std::vector<char> block(4096);
                    for (ssize_t r; (r = ::read(file, block.data(), block.size())) > 0;)
                        if (!sendAll(fd, block.data(), size_t(r)))
                            break;
                }
                senderCpu = cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - cpu0;
            },
            [&](quint16 port) {
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
    m.senderCpu = senderCpu;
    return m;
}

Measure serverList(quint16 port, clockid_t serverClock, qint64 *listLength)
{
    Measure m = serverRequest(
            port, serverClock, "SLLEN\r\n", 10,
            [](const QByteArray &reply) { return QByteArray(reply.constData()).toLongLong(); }, "SLIST\r\n");
    *listLength = m.bytes;
    return m;
}

const Measure &best(const std::vector<Measure> &runs)
{
    return *std::max_element(runs.begin(), runs.end(),
                             [](const Measure &a, const Measure &b) { return a.mbps() < b.mbps(); });
}

template <typename F> double medianOf(const std::vector<Measure> &runs, F f)
{
    std::vector<double> v;
    for (const Measure &m : runs)
        v.push_back(f(m));
    return median(v);
}

template <typename F> double maxOf(const std::vector<Measure> &runs, F f)
{
    double most = 0;
    for (const Measure &m : runs)
        most = std::max(most, f(m));
    return most;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    pin(Side::Sender);
    const QStringList args = app.arguments();
    const int rounds = intOption(args, QStringLiteral("--rounds"), kDefaultRounds);

    QTemporaryDir songDir(memoryTempTemplate("bench_transfer"));
    if (!songDir.isValid() || !writeSong(songDir.filePath(QStringLiteral("big.mp3")), kSongSize)) {
        std::fprintf(stderr, "cannot write the song file\n");
        return 1;
    }
    const QByteArray songPath = QFile::encodeName(songDir.filePath(QStringLiteral("big.mp3")));

    Server server;
    server.log().setEchoToStdout(false);
    const quint16 port = startServer(server, songDir.path());
    if (port == 0 || server.catalogue().SongCount() != 1) {
        std::fprintf(stderr, "server did not start\n");
        return 1;
    }
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake,
                     [] { gWakeups.fetch_add(1, std::memory_order_relaxed); });
    QObject::connect(&server.lines(), &Lines::SendComplete,
                     [] { gCompletions.fetch_add(1, std::memory_order_relaxed); });
    QObject::connect(&server.log().logPane(), &MessagePane::appended, [](const QString &entry) {
        if (!gWatchLog)
            return;
        // The first of each after the watch began: later arrivals of the
        // same client come after the song.
        Clock::rep none = 0;
        const Clock::rep now = Clock::now().time_since_epoch().count();
        if (entry.startsWith(QLatin1String("Connection Request on Winsock #")))
            gConnectLoggedAt.compare_exchange_strong(none, now);
        else if (entry.contains(QLatin1String(" - Recv=")))
            gMessageLoggedAt.compare_exchange_strong(none, now);
    });

    clockid_t serverClock{};
    pthread_getcpuclockid(pthread_self(), &serverClock);

    std::printf("Song of %lld bytes, %d rounds each, interleaved (best and median)\n", kSongSize, rounds);
    std::vector<Measure> song, whole, small;
    const quint64 gate0 = server.lines().gateWaitRounds();
    for (int i = 0; i < rounds; ++i) {
        whole.push_back(bareSend(songPath, kSongSize, Bare::WholeSendfile));
        small.push_back(bareSend(songPath, kSongSize, Bare::Writes4096));
        song.push_back(serverSong(port, serverClock));
        if (!whole.back().ok || !small.back().ok || !song.back().ok) {
            std::fprintf(stderr, "a transfer failed (sendfile %d, 4096-byte writes %d, server %d)\n",
                         whole.back().ok, small.back().ok, song.back().ok);
            return 1;
        }
        const Measure &s = song.back();
        std::printf("  round %d: server %7.1f MB/s %5.3f s/GB | sendfile %7.1f MB/s %5.3f s/GB | 4096-byte "
                    "writes "
                    "%6.1f MB/s %5.3f s/GB | arrival logged %5.2f ms, message %5.2f ms%s\n",
                    i + 1, s.mbps(), s.cpuPerGB(), whole.back().mbps(), whole.back().cpuPerGB(),
                    small.back().mbps(), small.back().cpuPerGB(), s.connectLogged, s.messageLogged,
                    s.heldDuringSong ? "" : " (ITS REPLY CAME DURING THE SONG)");
    }
    const quint64 gateWaits = server.lines().gateWaitRounds() - gate0;

    auto rate = [](const Measure &m) { return m.mbps(); };
    auto cpu = [](const Measure &m) { return m.cpuPerGB(); };
    const Measure &s = best(song);
    const Measure &w = best(whole);
    const Measure &r4 = best(small);
    std::printf("\n                       best MB/s  median MB/s  median CPU s per GB\n");
    std::printf("Server song stream   : %9.1f  %11.1f  %8.3f\n", s.mbps(), medianOf(song, rate),
                medianOf(song, cpu));
    std::printf("Bare whole sendfile  : %9.1f  %11.1f  %8.3f\n", w.mbps(), medianOf(whole, rate),
                medianOf(whole, cpu));
    std::printf("Bare 4096-byte writes: %9.1f  %11.1f  %8.3f\n", r4.mbps(), medianOf(small, rate),
                medianOf(small, cpu));
    // Each round's senders ran back to back: the ratio within a round is the
    // one least moved by other load on the machine.
    std::vector<double> toWhole, toSmall, cpuToWhole;
    for (size_t i = 0; i < song.size(); ++i) {
        toWhole.push_back(song[i].mbps() / whole[i].mbps());
        toSmall.push_back(song[i].mbps() / small[i].mbps());
        cpuToWhole.push_back(song[i].cpuPerGB() / whole[i].cpuPerGB());
    }
    std::printf("Ratio server / sendfile        : best %.2f, median %.2f, median within a round %.2f "
                "(CPU per GB: %.2f)\n",
                s.mbps() / w.mbps(), medianOf(song, rate) / medianOf(whole, rate), median(toWhole),
                median(cpuToWhole));
    std::printf("Ratio server / 4096-byte writes: best %.2f, median %.2f, median within a round %.2f\n",
                s.mbps() / r4.mbps(), medianOf(song, rate) / medianOf(small, rate), median(toSmall));
    std::printf("Arrival during the stream: connection logged after %.2f ms median (%.2f max), its message "
                "after %.2f ms median (%.2f max)\n",
                medianOf(song, [](const Measure &m) { return m.connectLogged; }),
                maxOf(song, [](const Measure &m) { return m.connectLogged; }),
                medianOf(song, [](const Measure &m) { return m.messageLogged; }),
                maxOf(song, [](const Measure &m) { return m.messageLogged; }));
    std::printf(
            "Its reply: held during the song in %d of %d rounds; the song ended %.2f ms after the message "
            "(median), the reply came %.2f ms after it, once a later arrival asked\n",
            int(std::count_if(song.begin(), song.end(), [](const Measure &m) { return m.heldDuringSong; })),
            int(song.size()), medianOf(song, [](const Measure &m) { return m.songEnded; }),
            medianOf(song, [](const Measure &m) { return m.replied; }));
    std::printf("Server CPU busy    : %.0f %% of the best transfer's wall time\n",
                100.0 * s.senderCpu / s.secs);
    std::printf("Pieces             : %llu completions, %.0f pieces/s, %.2f us wall per piece\n",
                (unsigned long long)s.pieces, double(s.pieces) / s.secs, 1e6 * s.secs / double(s.pieces));
    std::printf("Event loop         : %.2f wake-ups per piece; send-gate waits %.2f per piece (all rounds)\n",
                double(s.wakeups) / double(s.pieces),
                double(gateWaits) / double(std::max<quint64>(1, s.pieces) * quint64(rounds)));

    if (args.contains(QStringLiteral("--song-only")))
        return 0;

    // --- SLIST of 95,000 songs -------------------------------------------------
    QTemporaryDir listDir(memoryTempTemplate("bench_transfer"));
    for (int folder = 0; folder < kListFolders; ++folder) {
        const QString dir
                = listDir.filePath(QStringLiteral("Artist %1").arg(folder, 4, 10, QLatin1Char('0')));
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
    const double rawSecs = double(listLength) / (w.mbps() * 1e6);
    std::printf(
            "SLIST              : %lld bytes in %.1f ms (best of %d), %.1f MB/s, %.2f wake-ups per piece\n",
            listLength, l.secs * 1e3, kListRounds, l.mbps(),
            double(l.wakeups) / double(std::max<quint64>(1, l.pieces)));
    std::printf("Bare sendfile, same size: %.1f ms at its best rate above; ratio SLIST / sendfile %.2f\n",
                rawSecs * 1e3, rawSecs / l.secs);
    return 0;
}
