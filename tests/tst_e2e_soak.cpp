// A bounded soak of the built executable: a hundred clients on loopback send
// valid, malformed and partial messages, ask for songs and lists, drain
// whatever comes (every reply goes to every selected line, so to all of
// them), leave mid-transfer by close and by reset and come back; one client
// asks for a song and then never reads again. Afterwards the server must
// still answer a fresh client correctly, and be back to the descriptors and
// about the memory it started with.
//
// VORLUNE_SOAK_SEED sets the seed (printed), VORLUNE_SOAK_SECONDS the length
// of the busy phase (default 50 s).

#include "ProtocolClient.h"
#include "ServerRun.h"

#include "protocol/Interpreter.h"
#include "protocol/Wire.h"

#include <QDirIterator>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>
#include <vector>

using namespace E2E;

namespace {

constexpr int kClients = 99;           // and the stalled one: every line in use
constexpr int kStallLimitMs = 1000;
constexpr int kTickMs = 10;
constexpr int kActionsPerTick = 2;
constexpr qint64 kRssSlackKb = 30 * 1024;
// Song 1, for the stalled client: far more than the OS buffers on loopback
// (about 4 MB) hold, so its stream cannot complete.
constexpr qint64 kStallSongSize = 16 << 20;

void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// The server's process: the one whose executable is the copy in our folder.
qint64 findPid(const QString &exe)
{
    const QString wanted = QFileInfo(exe).canonicalFilePath();
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (numeric && QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).canonicalFilePath() == wanted)
            return pid;
    }
    return -1;
}

int descriptorCount(qint64 pid)
{
    return int(QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
}

qint64 residentKb(qint64 pid)
{
    const QByteArray status = readFile(QStringLiteral("/proc/%1/status").arg(pid));
    const qsizetype at = status.indexOf("VmRSS:");
    return at < 0 ? -1 : status.mid(at + 6, status.indexOf('\n', at) - at - 6).trimmed().split(' ').first().toLongLong();
}

int tcpState(int fd)
{
    tcp_info info = {};
    socklen_t size = sizeof info;
    return ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) == 0 ? info.tcpi_state : -1;
}

void resetOnClose(QTcpSocket &socket)
{
    const linger abortive{1, 0};
    ::setsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
}

// A music tree of nested folders; returns the song list's length in bytes
// (each song: a backslash, its relative path, CR LF; the order does not
// change the length).
qint64 makeMusic(const QString &root, std::mt19937 &rng)
{
    qint64 listLength = 0;
    const QStringList folders = {"", "/Alpha", "/Alpha/Live 1999", "/beta", "/Gamma Ray/Disc 2"};
    // First in serving order: the root's own files come first, by name.
    QDir().mkpath(root);
    writeFile(root + "/0 Long Mix.mp3", QByteArray(kStallSongSize, 'L'));
    listLength += QByteArrayLiteral("/0 Long Mix.mp3").size() + 2;
    int n = 0;
    for (const QString &folder : folders) {
        QDir().mkpath(root + folder);
        writeFile(root + folder + "/cover.jpg", "not a song");
        for (int i = 0; i < 12; ++i, ++n) {
            // Mostly small songs; a few large ones, so that leaving mid-song happens.
            const qint64 size = n % 20 == 7 ? (6 << 20) : 4096 + qint64(rng() % (256 << 10));
            const QString rel = folder + QStringLiteral("/Track %1 - Song.mp3").arg(n, 3, 10, QLatin1Char('0'));
            writeFile(root + rel, QByteArray(size, char('a' + n % 26)));
            listLength += rel.toUtf8().size() + 2;
        }
    }
    return listLength;
}

// One of the hundred busy clients: reads everything it is sent.
struct Slot {
    QTcpSocket *socket = nullptr;
    QByteArray rest;          // the second half of a message split in two
    qint64 received = 0;
    qint64 leaveAt = -1;      // leave once this much has been received
    bool leaveByReset = false;
};

struct Stats {
    qint64 actions = 0, connects = 0, leaves = 0, resets = 0, junk = 0, partial = 0, received = 0;
};

// Collects what the client receives until it contains the text or the time
// is up. Anything else the server still had for it (a list, a song) may come
// first: neither contains a "!" or a NUL.
bool receiveContaining(ProtocolClient &c, const QByteArray &text, int timeoutMs)
{
    return c.waitUntil([&] { return c.mReceived.contains(text); }, timeoutMs);
}

struct DescriptorGuard {
    int fd;
    ~DescriptorGuard()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

class Soak : public QObject {
    Q_OBJECT
private slots:
    void hundredClientsThenBackToStart();

private:
    std::mt19937 mRng;
    QObject *mClients = nullptr; // owns the busy clients' sockets
    int pick(int n) { return int(mRng() % unsigned(n)); }
    QByteArray validMessage(int songCount);
    void act(Slot &slot, quint16 port, int songCount, Stats &stats);
    void connectSlot(Slot &slot, quint16 port, Stats &stats);
    void leave(Slot &slot, bool reset, Stats &stats);
};

QByteArray Soak::validMessage(int songCount)
{
    switch (pick(7)) {
    case 0: return "SLLEN\r\n";
    case 1: return "SLIST\r\n";
    case 2: return "SONG " + QByteArray::number(pick(songCount + 4) - 1) + "\r\n"; // some out of range
    case 3: return "READY\r\n";
    case 4: return "NOOP \r\n";
    case 5: return "SIZE \r\n";
    default: return "SYNC \r\n";
    }
}

void Soak::connectSlot(Slot &slot, quint16 port, Stats &stats)
{
    if (slot.socket)
        slot.socket->deleteLater();
    slot = Slot();
    slot.socket = new QTcpSocket(mClients);
    QTcpSocket *socket = slot.socket;
    Slot *s = &slot;
    connect(socket, &QTcpSocket::readyRead, socket, [socket, s, &stats] {
        const qint64 n = socket->readAll().size();
        s->received += n;
        stats.received += n;
    });
    socket->connectToHost(QHostAddress::LocalHost, port);
    ++stats.connects;
}

void Soak::leave(Slot &slot, bool reset, Stats &stats)
{
    ++stats.leaves;
    if (reset) {
        ++stats.resets;
        resetOnClose(*slot.socket);
        slot.socket->abort();
    } else {
        slot.socket->disconnectFromHost();
    }
    slot.socket->deleteLater();
    slot.socket = nullptr;
}

void Soak::act(Slot &slot, quint16 port, int songCount, Stats &stats)
{
    ++stats.actions;
    if (!slot.socket || slot.socket->state() == QAbstractSocket::UnconnectedState) {
        // Gone: refused for want of a line, cut off, or left. Come back.
        connectSlot(slot, port, stats);
        return;
    }
    QTcpSocket &socket = *slot.socket;
    if (!slot.rest.isEmpty()) {
        socket.write(std::exchange(slot.rest, {}));
        return;
    }
    const int roll = pick(100);
    if (roll < 55) {
        socket.write(validMessage(songCount));
    } else if (roll < 65) {
        ++stats.junk;
        // Anything: control bytes, stray line ends, bytes that are not UTF-8.
        QByteArray junk(1 + pick(300), Qt::Uninitialized);
        for (char &c : junk)
            c = char(pick(4) == 0 ? "\r\n\0\xff"[pick(4)] : 'A' + pick(58));
        socket.write(junk);
    } else if (roll < 66) {
        ++stats.junk;
        socket.write(QByteArray(Interpreter::kMaxCmdBuffer + 1000 + pick(8000), 'Z')); // beyond the buffer's bound
    } else if (roll < 78) {
        ++stats.partial;
        const QByteArray message = validMessage(songCount);
        const int cut = 1 + pick(int(message.size()) - 1);
        socket.write(message.left(cut));
        slot.rest = message.mid(cut);
    } else if (roll < 86) {
        // Ask for a song and leave once some of it (or of anything) came.
        socket.write("SONG " + QByteArray::number(1 + pick(songCount)) + "\r\nREADY\r\n");
        slot.leaveAt = slot.received + 8192 + pick(512 << 10);
        slot.leaveByReset = pick(2) == 0;
    } else if (roll < 93) {
        leave(slot, pick(2) == 0, stats);
    } else {
        socket.write("SYNC \r\n");
    }
}

void Soak::hundredClientsThenBackToStart()
{
    bool seedGiven = false;
    const unsigned seed = qEnvironmentVariable("VORLUNE_SOAK_SEED").toUInt(&seedGiven);
    mRng.seed(seedGiven ? seed : 20261207u);
    bool secondsGiven = false;
    const int seconds = qEnvironmentVariableIntValue("VORLUNE_SOAK_SECONDS", &secondsGiven);
    const int busyMs = (secondsGiven && seconds > 0 ? seconds : 50) * 1000;
    qInfo("seed %u, busy phase %d s", seedGiven ? seed : 20261207u, busyMs / 1000);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString music = dir.path() + "/music";
    const int songCount = 61;
    const qint64 listLength = makeMusic(music, mRng);
    ServerRun run(dir.path());
    QVERIFY(writeFile(run.iniPath(), settingsText("127.0.0.1", "0", music)));
    // The run's environment was taken when it was made: the test's own,
    // changed now, would not reach the server.
    run.environment().insert(QStringLiteral("VORLUNE_STALL_LIMIT_MS"), QString::number(kStallLimitMs));
    QVERIFY(run.start());
    const int port = run.listeningPort();
    QVERIFY2(port > 0, qPrintable(run.lines().join('\n')));
    const qint64 pid = findPid(dir.path() + "/vorlune-server");
    QVERIFY(pid > 0);
    const QByteArray lengthReply = QByteArray::number(listLength) + '\0'
                                   + QByteArray(9 - QByteArray::number(listLength).size(), ' ');

    // A first client, so that whatever the first connection sets up once is
    // counted in the starting figures.
    const int fdsListening = descriptorCount(pid);
    {
        ProtocolClient probe;
        QVERIFY(probe.connectTo(port));
        probe.send("SLLEN\r\n");
        QCOMPARE(probe.read(10), lengthReply);
    }
    QVERIFY(runEventsUntil([&] { return descriptorCount(pid) == fdsListening; }, kTimeoutMs));
    const int fdsStart = descriptorCount(pid);
    const qint64 rssStart = residentKb(pid);

    // The client that stalls, alone on the server so that the song goes to
    // it: a tiny receive window; it reads the header, says READY and never
    // reads again. The others arrive while it holds the server.
    const int stalled = ::socket(AF_INET, SOCK_STREAM, 0);
    const DescriptorGuard stalledGuard{stalled};
    const int tiny = 4096;
    ::setsockopt(stalled, SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny);
    const timeval patience{kTimeoutMs / 1000, 0};
    ::setsockopt(stalled, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QVERIFY(::connect(stalled, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
    QVERIFY(::send(stalled, "SONG 1\r\n", 8, MSG_NOSIGNAL) == 8);
    QByteArray header(Wire::kFileHeaderSize, '\0');
    for (qsizetype got = 0, n = 1; got < header.size() && n > 0; got += n)
        n = ::recv(stalled, header.data() + got, size_t(header.size() - got), 0);
    QVERIFY2(header.startsWith("FILE " + QByteArray::number(kStallSongSize)), header.left(40).constData());
    QVERIFY(::send(stalled, "READY\r\n", 7, MSG_NOSIGNAL) == 7);
    QElapsedTimer clock;
    clock.start();
    // The song goes to the newest line when READY is read: no other client
    // may come before that.
    QVERIFY(run.waitForLine(QRegularExpression(QStringLiteral("Sending Song .*0 Long Mix\\.mp3\\."))) >= 0);
    qint64 stalledCutAfterMs = -1;

    // The busy phase.
    std::vector<Slot> busy(kClients);
    Stats stats;
    QObject clients; // gone before the slots and counters its sockets write to
    mClients = &clients;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, this, [&] {
        // The server resets a connection it gives up for stalling.
        if (stalledCutAfterMs < 0 && tcpState(stalled) == TCP_CLOSE)
            stalledCutAfterMs = clock.elapsed();
        for (Slot &slot : busy) {
            if (slot.socket && slot.leaveAt >= 0 && slot.received >= slot.leaveAt)
                leave(slot, slot.leaveByReset, stats);
        }
        for (int i = 0; i < kActionsPerTick; ++i)
            act(busy[pick(kClients)], quint16(port), songCount, stats);
    });
    tick.start(kTickMs);
    runFor(busyMs);
    tick.stop();
    QVERIFY(run.running());
    qInfo("the stalled client was cut off %lld ms after its READY (limit %d ms)", stalledCutAfterMs, kStallLimitMs);
    QVERIFY2(stalledCutAfterMs >= 0, "the stalled client's connection was not reset by the server");

    // Everybody leaves, some by reset.
    for (Slot &slot : busy) {
        if (slot.socket)
            leave(slot, pick(2) == 0, stats);
    }
    const bool allGone = runEventsUntil([&] { return descriptorCount(pid) <= fdsStart; }, 60000);
    qInfo("%lld actions, %lld connects, %lld leaves (%lld by reset), %lld junk, %lld split messages, %lld bytes received",
          stats.actions, stats.connects, stats.leaves, stats.resets, stats.junk, stats.partial, stats.received);
    QVERIFY2(allGone, qPrintable(QStringLiteral("descriptors: %1 at start, %2 now").arg(fdsStart).arg(descriptorCount(pid))));

    // A fresh client is answered. The one receive buffer may still hold what
    // the others left unfinished: an arrival beyond its bound empties it,
    // and then at most one message without its line end is left before ours.
    {
        ProtocolClient fresh;
        QVERIFY(fresh.connectTo(port));
        fresh.send(QByteArray(2 * (Interpreter::kMaxCmdBuffer + 1), 'x'));
        bool synced = false;
        for (int attempt = 0; attempt < 3 && !synced; ++attempt) {
            fresh.send("SYNC \r\n");
            synced = receiveContaining(fresh, "!", 5000);
        }
        QVERIFY2(synced, "no reply to SYNC after the soak");
        fresh.send("SLLEN\r\n");
        QVERIFY2(receiveContaining(fresh, lengthReply, kTimeoutMs), "no correct reply to SLLEN after the soak");
    }

    // Back to where it started: every descriptor, and memory within bounds.
    QVERIFY(runEventsUntil([&] { return descriptorCount(pid) == fdsStart; }, kTimeoutMs));
    const int fdsEnd = descriptorCount(pid);
    const qint64 rssEnd = residentKb(pid);
    const QStringList log = run.lines();
    qInfo("descriptors: %d listening, %d at start, %d at end; resident memory: %lld kB at start, %lld kB at end (%+lld kB)",
          fdsListening, fdsStart, fdsEnd, rssStart, rssEnd, rssEnd - rssStart);
    qInfo("log: %lld lines, %lld stalls (10060), %lld resets (10054), %lld closes, %lld refused for want of a line",
          qint64(log.size()), qint64(log.filter("Winsock Err #10060").size()), qint64(log.filter("Winsock Err #10054").size()),
          qint64(log.filter(": closed connection.").size()), qint64(log.filter("No free lines to answer connection.").size()));
    QCOMPARE(fdsEnd, fdsStart);
    QVERIFY2(rssEnd - rssStart <= kRssSlackKb, "resident memory grew by more than 30 MB");

    int code = -1;
    QVERIFY(run.terminate(&code));
    QCOMPARE(code, 0);
}

QTEST_GUILESS_MAIN(Soak)
#include "tst_e2e_soak.moc"
