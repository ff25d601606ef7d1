// How long one exchange takes, and whether a song stream keeps pace with the
// machine, each against a baseline measured beside it in the same run:
//
//  - round trips on one connection of "SYNC " to "!", "SONG n" to its
//    4096-byte header, and "READY" to the song's first byte, against a bare
//    echo server of the same kind (a QTcpServer in this process's event
//    loop, no delay on its sends) that answers the same messages with
//    replies of the same size;
//  - a song of 99,999,999 bytes, from "READY" to its last byte, against a
//    bare sender that hands the whole file to sendfile(2) on a blocking
//    socket, in paired rounds: the ratio of each round, its median and its
//    slowest round (a slow mode must not hide behind a median), the
//    largest gap between two reads inside a stream, and the gap before its
//    last read (where a short last segment held back by Nagle's algorithm
//    until the peer's delayed acknowledgement shows as some 40 ms).
//
// The servers measured: the core (a Server without window, in this process,
// its log on standard output redirected to a file), and the built program
// (`vorlune-server --headless` beside this bench, or --server PATH; its
// standard output to a file), unless --core-only. Clients run in threads of
// their own and never share the servers' event loop. Senders run on the first
// processor and readers on the second, as in bench_transfer. --rounds N
// sets the paired stream rounds (default 10), --exchanges N the round trips
// of each kind (default 400, measured in batches that take turns with the
// baseline's).
//
// Linux only; not run by the tests.

#include "BenchSupport.h"
#include "app/Server.h"
#include "library/SongCatalogue.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

using namespace bench;

constexpr qint64 kBigSong = 99'999'999;  // song 1: the largest a header can announce
constexpr qint64 kSmallSong = 64 * 1024; // song 2: for "READY" to its first byte
constexpr int kBatch = 20;

FILE *out = stdout; // the results; standard output itself carries the log

double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, size_t(double(v.size()) * p))];
}

QString loadText()
{
    QFile f(QStringLiteral("/proc/loadavg"));
    return f.open(QIODevice::ReadOnly) ? QString::fromLatin1(f.readLine()).trimmed() : QString();
}

// --- a blocking client --------------------------------------------------------

class Client {
public:
    explicit Client(quint16 port) : mFd(connectTo(port)) {}
    ~Client()
    {
        if (mFd >= 0)
            ::close(mFd);
    }
    bool ok() const { return mFd >= 0; }

    bool send(const char *text) { return sendAll(mFd, text, std::strlen(text)); }
    // Reads exactly n bytes; with `reads`, the time of every read.
    bool receive(qint64 n, QByteArray *keep = nullptr, std::vector<Clock::time_point> *reads = nullptr)
    {
        if (!reads)
            return recvAll(mFd, mBuf, n, keep);
        return recvAll(mFd, mBuf, n, keep, [reads](qint64, qint64) { reads->push_back(Clock::now()); });
    }
    // One message and its reply of `size` bytes: milliseconds, or -1.
    double roundTrip(const char *message, qint64 size)
    {
        const auto t0 = Clock::now();
        return send(message) && receive(size) ? ms(Clock::now() - t0) : -1;
    }
    // "SONG n" and its header: the size it announces, or -1.
    qint64 askSong(int number)
    {
        QByteArray header;
        if (!send(QByteArray("SONG " + QByteArray::number(number) + "\r\n").constData())
            || !receive(4096, &header))
            return -1;
        return header.mid(5, 8).trimmed().toLongLong();
    }

private:
    int mFd = -1;
    std::vector<char> mBuf = std::vector<char>(1 << 20);
};

// --- the bare echo server -------------------------------------------------------

// Answers "SYNC " with one byte, "SONG " with 4096 and "READY" with the
// small song's bytes, straight from readyRead: the least a Qt server in this
// event loop can do.
class EchoServer : public QTcpServer {
public:
    EchoServer()
    {
        listen(QHostAddress::LocalHost, 0);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = nextPendingConnection()) {
                s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
                connect(s, &QIODevice::readyRead, s, [this, s] { answer(s); });
            }
        });
    }

private:
    void answer(QTcpSocket *s)
    {
        while (s->canReadLine()) {
            const QByteArray line = s->readLine();
            if (line.startsWith("SYNC "))
                s->write("!", 1);
            else if (line.startsWith("SONG "))
                s->write(mHeader);
            else if (line.startsWith("READY"))
                s->write(mSong);
        }
    }
    // Announces the small song's size where a file header does.
    QByteArray mHeader = QByteArray(5, ' ') + QByteArray::number(kSmallSong).rightJustified(8, ' ')
            + QByteArray(4096 - 13, ' ');
    QByteArray mSong = QByteArray(kSmallSong, 'x');
};

// --- latencies ------------------------------------------------------------------

struct Latencies {
    std::vector<double> sync, song, ready;
};

struct Target {
    const char *name;
    quint16 port;
    std::unique_ptr<Client> client; // one connection for the whole run
    Latencies lat;
};

// One batch of each kind of exchange on the target's connection.
bool measureBatch(Target &t)
{
    Client &c = *t.client;
    for (int i = 0; i < kBatch; ++i) {
        const double a = c.roundTrip("SYNC \r\n", 1);
        const double b = c.roundTrip("SONG 2\r\n", 4096);
        if (a < 0 || b < 0)
            return false;
        t.lat.sync.push_back(a);
        t.lat.song.push_back(b);
    }
    for (int i = 0; i < kBatch / 4; ++i) {
        if (c.askSong(2) != kSmallSong)
            return false;
        const double first = c.roundTrip("READY\r\n", 1);
        if (first < 0 || !c.receive(kSmallSong - 1))
            return false;
        t.lat.ready.push_back(first);
    }
    return true;
}

// --- song streams -----------------------------------------------------------------

struct Stream {
    double secs = 0;
    double maxGapMs = 0;  // between two reads, after the first byte
    double lastGapMs = 0; // before the last read: a short last segment held back shows here
    bool ok = false;
    double mbps() const { return secs > 0 ? double(kBigSong) / secs / 1e6 : 0; }
};

Stream readStream(Client &c, const char *ready)
{
    Stream s;
    std::vector<Clock::time_point> reads;
    reads.reserve(1 << 16);
    const auto t0 = Clock::now();
    if (!c.send(ready) || !c.receive(kBigSong, nullptr, &reads))
        return s;
    s.secs = std::chrono::duration<double>(Clock::now() - t0).count();
    for (size_t i = 1; i < reads.size(); ++i)
        s.maxGapMs = std::max(s.maxGapMs, ms(reads[i] - reads[i - 1]));
    if (reads.size() > 1)
        s.lastGapMs = ms(reads.back() - reads[reads.size() - 2]);
    s.ok = true;
    return s;
}

Stream serverStream(Target &t)
{
    Stream s;
    runClient([&] {
        if (t.client->askSong(1) == kBigSong)
            s = readStream(*t.client, "READY\r\n");
    });
    return s;
}

// The whole file in one sendfile(2) call on a blocking socket (repeated only
// where the kernel stops short), after the client's "READY".
Stream bareStream(const QByteArray &path)
{
    Stream s;
    bareTransfer(
            path, [](int fd, int file) { sendWholeFile(fd, file, kBigSong); },
            [&](quint16 port) {
                Client c(port);
                if (c.ok())
                    s = readStream(c, "READY\r\n");
            });
    return s;
}

// --- the servers --------------------------------------------------------------------

// The built program, headless, its log to a file; its port read from there.
class Program {
public:
    bool start(const QString &exe, const QString &dir, const QString &music)
    {
        QFile ini(dir + QStringLiteral("/vorlune.ini"));
        if (!ini.open(QIODevice::WriteOnly))
            return false;
        ini.write(("127.0.0.1\r\n0\r\n" + music + "\r\n").toUtf8());
        ini.close();
        mLog = dir + QStringLiteral("/stdout.log");
        mProcess.setStandardOutputFile(mLog);
        mProcess.setStandardErrorFile(dir + QStringLiteral("/stderr.log"));
        mProcess.start(exe, {QStringLiteral("--headless"), QStringLiteral("--settings"), ini.fileName()});
        if (!mProcess.waitForStarted())
            return false;
        static const QRegularExpression listening(QStringLiteral("Listening on 127\\.0\\.0\\.1 - (\\d+)"));
        for (int i = 0; i < 200 && port == 0 && mProcess.state() == QProcess::Running; ++i) {
            QThread::msleep(50);
            QFile log(mLog);
            if (log.open(QIODevice::ReadOnly)) {
                const auto m = listening.match(QString::fromUtf8(log.readAll()));
                if (m.hasMatch())
                    port = quint16(m.captured(1).toUInt());
            }
        }
        // Its threads on the senders' processor, as the core's.
        const QDir tasks(QStringLiteral("/proc/%1/task").arg(mProcess.processId()));
        for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            pin(Side::Sender, pid_t(task.toInt()));
        return port != 0;
    }
    ~Program()
    {
        mProcess.terminate();
        if (!mProcess.waitForFinished(5000))
            mProcess.kill();
        mProcess.waitForFinished();
    }
    quint16 port = 0;

private:
    QProcess mProcess;
    QString mLog;
};

void printLatency(const char *what, const std::vector<Target *> &targets,
                  std::vector<double> Latencies::*kind, double target)
{
    const double bare = median(targets[0]->lat.*kind);
    for (const Target *t : targets) {
        const std::vector<double> &v = t->lat.*kind;
        std::fprintf(out, "  %-8s %-8s median %6.3f ms  p90 %6.3f  max %7.3f  ratio to bare %5.2f%s\n", what,
                     t->name, median(v), percentile(v, 0.9), percentile(v, 1.0), median(v) / bare,
                     t == targets[0]                                          ? ""
                             : median(v) <= target || median(v) <= 1.5 * bare ? "  (within target)"
                                                                              : "  (OVER TARGET)");
    }
}

} // namespace

int main(int argc, char **argv)
{
    // The log goes to standard output, as a headless server's does, and
    // standard output to a file; the results to what it was before.
    const int results = ::dup(1);
    out = ::fdopen(results, "w");
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/bench_latency-XXXXXX"));
    const int logFd = ::open(QFile::encodeName(dir.filePath(QStringLiteral("core.log"))).constData(),
                             O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!out || !dir.isValid() || logFd < 0 || ::dup2(logFd, 1) != 1)
        return 1;
    ::close(logFd);

    QCoreApplication app(argc, argv);
    pin(Side::Sender);
    const QStringList args = app.arguments();
    const int rounds = intOption(args, QStringLiteral("--rounds"), 10);
    const int batches = std::max(1, intOption(args, QStringLiteral("--exchanges"), 400) / kBatch);
    const qsizetype serverAt = args.indexOf(QStringLiteral("--server"));
    const QString exe = serverAt >= 0 && serverAt + 1 < args.size()
            ? args[serverAt + 1]
            : QCoreApplication::applicationDirPath() + QStringLiteral("/vorlune-server");
    const bool withProgram = !args.contains(QStringLiteral("--core-only"));

    QTemporaryDir music(memoryTempTemplate("bench_latency"));
    if (!music.isValid() || !writeSong(music.filePath(QStringLiteral("a-big.mp3")), kBigSong)
        || !writeSong(music.filePath(QStringLiteral("b-small.mp3")), kSmallSong)) {
        std::fprintf(stderr, "cannot write the songs\n");
        return 1;
    }
    const QByteArray bigPath = QFile::encodeName(music.filePath(QStringLiteral("a-big.mp3")));

    Server server;
    const quint16 corePort = startServer(server, music.path());
    EchoServer echo;
    Program program;
    if (corePort == 0 || server.catalogue().SongCount() != 2 || !echo.isListening()) {
        std::fprintf(stderr, "the core or the echo server did not start\n");
        return 1;
    }
    if (withProgram && !program.start(exe, dir.path(), music.path())) {
        std::fprintf(stderr, "%s did not start (--core-only measures without it)\n", qPrintable(exe));
        return 1;
    }

    Target bare{"bare", echo.serverPort(), nullptr, {}};
    Target core{"core", corePort, nullptr, {}};
    Target prog{"program", program.port, nullptr, {}};
    std::vector<Target *> targets{&bare, &core};
    if (withProgram)
        targets.push_back(&prog);
    std::fprintf(out, "Load before: %s\n", qPrintable(loadText()));

    // --- round trips, the servers taking turns batch by batch ------------------
    bool ok = true;
    runClient([&] {
        for (Target *t : targets) {
            t->client = std::make_unique<Client>(t->port);
            ok = ok && t->client->ok();
        }
        for (int b = 0; ok && b < batches; ++b) {
            for (Target *t : targets) {
                ok = ok && measureBatch(*t);
                if (!ok)
                    std::fprintf(stderr, "%s: ", t->name);
            }
        }
    });
    if (!ok) {
        std::fprintf(stderr, "an exchange failed\n");
        return 1;
    }
    std::fprintf(out,
                 "Round trips on one connection, %d of each (\"READY\": %d), targets 0.2 / 0.2 / 0.3 ms:\n",
                 batches * kBatch, batches * kBatch / 4);
    printLatency("SYNC", targets, &Latencies::sync, 0.2);
    printLatency("SONG n", targets, &Latencies::song, 0.2);
    printLatency("READY", targets, &Latencies::ready, 0.3);

    // --- song streams, each round the bare sender beside each server ------------
    std::fprintf(out, "\nSong of %lld bytes, \"READY\" to its last byte, %d paired rounds:\n", kBigSong,
                 rounds);
    std::vector<Target *> streamed(targets.begin() + 1, targets.end());
    std::vector<std::vector<double>> ratios(streamed.size());
    std::vector<double> gaps(streamed.size()), lastGaps(streamed.size()), bareGap, bareLastGap;
    for (int r = 0; r < rounds; ++r) {
        std::fprintf(out, "  round %2d:", r + 1);
        for (size_t i = 0; i < streamed.size(); ++i) {
            const Stream b = bareStream(bigPath);
            const Stream s = serverStream(*streamed[i]);
            if (!b.ok || !s.ok) {
                std::fprintf(stderr, "\na stream failed (bare %d, %s %d)\n", b.ok, streamed[i]->name, s.ok);
                return 1;
            }
            ratios[i].push_back(s.mbps() / b.mbps());
            gaps[i] = std::max(gaps[i], s.maxGapMs);
            lastGaps[i] = std::max(lastGaps[i], s.lastGapMs);
            bareGap.push_back(b.maxGapMs);
            bareLastGap.push_back(b.lastGapMs);
            std::fprintf(out, "  %s %6.0f MB/s (gap %5.2f ms), bare %6.0f MB/s (gap %5.2f ms), ratio %.2f;",
                         streamed[i]->name, s.mbps(), s.maxGapMs, b.mbps(), b.maxGapMs, ratios[i].back());
        }
        std::fprintf(out, "\n");
        std::fflush(out);
    }
    for (size_t i = 0; i < streamed.size(); ++i) {
        const Spread ratio = spread(ratios[i]);
        const double mid = ratio.median, slowest = ratio.low;
        std::fprintf(
                out,
                "  %-8s ratio to bare sendfile: median %.2f, slowest round %.2f; largest gap between reads "
                "%.2f ms, before the last read %.2f ms (bare: %.2f ms, %.2f ms)%s\n",
                streamed[i]->name, mid, slowest, gaps[i], lastGaps[i],
                *std::max_element(bareGap.begin(), bareGap.end()),
                *std::max_element(bareLastGap.begin(), bareLastGap.end()),
                mid >= 1.0 && slowest >= 0.8 && gaps[i] <= 5.0 ? "  (done)" : "  (NOT YET)");
    }
    std::fprintf(out, "Load after: %s\n", qPrintable(loadText()));
    return 0;
}
