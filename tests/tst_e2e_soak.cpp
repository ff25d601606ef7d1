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

#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <random>
#include <vector>

using namespace E2E;

namespace {

constexpr int kClients = 99; // and the stalled one: every line in use
constexpr int kStallLimitMs = 1000;
// Song 1, for the stalled client: far more than the OS buffers on loopback
// hold, so its stream cannot complete.
constexpr qint64 kStallSongSize = 16 << 20;

int descriptorCount(qint64 pid)
{
    return int(QDir(QStringLiteral("/proc/%1/fd").arg(pid))
                       .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                       .size());
}

qint64 residentKb(qint64 pid)
{
    const QByteArray status = readFile(QStringLiteral("/proc/%1/status").arg(pid));
    const qsizetype at = status.indexOf("VmRSS:");
    return at < 0
            ? -1
            : status.mid(at + 6, status.indexOf('\n', at) - at - 6).trimmed().split(' ').first().toLongLong();
}

// The server resets a connection it gives up for stalling (seen by the
// kernel, or by Qt).
bool wasReset(const QTcpSocket &socket)
{
    tcp_info info = {};
    socklen_t size = sizeof info;
    return socket.state() == QAbstractSocket::UnconnectedState
            || (::getsockopt(int(socket.socketDescriptor()), IPPROTO_TCP, TCP_INFO, &info, &size) == 0
                && info.tcpi_state == TCP_CLOSE);
}

// A music tree of nested folders; returns the song list's length in bytes.
qint64 makeMusic(const QString &root, std::mt19937 &rng)
{
    QDir().mkpath(root);
    writeFile(root + "/0 Long Mix.mp3", QByteArray(kStallSongSize, 'L')); // first in serving order
    qint64 listLength = QByteArrayLiteral("/0 Long Mix.mp3\r\n").size();
    int n = 0;
    for (const QString folder : {"", "/Alpha", "/Alpha/Live 1999", "/beta", "/Gamma Ray/Disc 2"}) {
        QDir().mkpath(root + folder);
        writeFile(root + folder + "/cover.jpg", "not a song");
        for (int i = 0; i < 12; ++i, ++n) {
            // Mostly small songs; a few large ones, so that leaving mid-song happens.
            const qint64 size = n % 20 == 7 ? (6 << 20) : 4096 + qint64(rng() % (256 << 10));
            const QString rel
                    = folder + QStringLiteral("/Track %1 - Song.mp3").arg(n, 3, 10, QLatin1Char('0'));
            writeFile(root + rel, QByteArray(size, char('a' + n % 26)));
            listLength += rel.toUtf8().size() + 2;
        }
    }
    return listLength;
}

// One of the busy clients: reads everything it is sent.
struct Slot {
    QTcpSocket *socket = nullptr;
    QByteArray rest; // the second half of a message split in two
    qint64 received = 0;
    qint64 leaveAt = -1; // leave once this much has been received
    bool leaveByReset = false;
};

} // namespace

class Soak : public QObject {
    Q_OBJECT
private slots:
    void hundredClientsThenBackToStart();

private:
    std::mt19937 mRng;
    int pick(int n) { return int(mRng() % unsigned(n)); }
    QByteArray validMessage(int songCount)
    {
        const QByteArray song
                = "SONG " + QByteArray::number(pick(songCount + 4) - 1) + "\r\n"; // some out of range
        const QByteArray all[]
                = {"SLLEN\r\n", "SLIST\r\n", song, "READY\r\n", "NOOP \r\n", "SIZE \r\n", "SYNC \r\n"};
        return all[pick(7)];
    }
    void leave(Slot &slot, bool reset)
    {
        if (reset) {
            const linger abortive{1, 0};
            ::setsockopt(int(slot.socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive,
                         sizeof abortive);
        }
        reset ? slot.socket->abort() : slot.socket->disconnectFromHost();
        slot.socket->deleteLater();
        slot.socket = nullptr;
    }
    void act(Slot &slot, quint16 port, int songCount, QObject *owner);
};

void Soak::act(Slot &slot, quint16 port, int songCount, QObject *owner)
{
    if (!slot.socket || slot.socket->state() == QAbstractSocket::UnconnectedState) {
        // Gone: refused for want of a line, cut off, or left. Come back.
        if (slot.socket)
            slot.socket->deleteLater();
        slot = Slot();
        QTcpSocket *socket = slot.socket = new QTcpSocket(owner);
        connect(socket, &QTcpSocket::readyRead, socket,
                [socket, &slot] { slot.received += socket->readAll().size(); });
        socket->connectToHost(QHostAddress::LocalHost, port);
        return;
    }
    QTcpSocket &socket = *slot.socket;
    const int roll = pick(100);
    if (!slot.rest.isEmpty()) {
        socket.write(std::exchange(slot.rest, {}));
    } else if (roll < 55) {
        socket.write(validMessage(songCount));
    } else if (roll < 65) {
        // Anything: control bytes, stray line ends, bytes that are not UTF-8.
        QByteArray junk(1 + pick(300), Qt::Uninitialized);
        for (char &c : junk)
            c = char(pick(4) == 0 ? "\r\n\0\xff"[pick(4)] : 'A' + pick(58));
        socket.write(junk);
    } else if (roll < 66) {
        socket.write(
                QByteArray(Interpreter::kMaxCmdBuffer + 1000 + pick(8000), 'Z')); // beyond the buffer's bound
    } else if (roll < 78) {
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
        leave(slot, pick(2) == 0);
    } else {
        socket.write("SYNC \r\n");
    }
}

void Soak::hundredClientsThenBackToStart()
{
    bool given = false;
    const unsigned seed = qEnvironmentVariable("VORLUNE_SOAK_SEED").toUInt(&given);
    mRng.seed(given ? seed : 20261207u);
    const int seconds = qEnvironmentVariableIntValue("VORLUNE_SOAK_SECONDS");
    const int busyMs = (seconds > 0 ? seconds : 50) * 1000;
    qInfo("seed %u, busy phase %d s", given ? seed : 20261207u, busyMs / 1000);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString music = dir.path() + "/music";
    const int songCount = 61;
    const qint64 listLength = makeMusic(music, mRng);
    ServerRun run(dir.path());
    QVERIFY(writeFile(run.iniPath(), settingsText("127.0.0.1", "0", music)));
    run.environment().insert(QStringLiteral("VORLUNE_STALL_LIMIT_MS"), QString::number(kStallLimitMs));
    QVERIFY(run.start());
    const int port = run.listeningPort();
    QVERIFY2(port > 0, qPrintable(run.lines().join('\n')));
    const qint64 pid = run.process().processId();
    const QByteArray lengthReply = Wire::lengthReply(listLength);

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
    ProtocolClient stalled;
    stalled.boundReceiveBuffer(4096);
    QVERIFY(stalled.connectTo(port));
    stalled.send("SONG 1\r\n");
    const QByteArray header = stalled.read(Wire::kFileHeaderSize);
    QVERIFY2(header.startsWith("FILE " + QByteArray::number(kStallSongSize)), header.left(40).constData());
    stalled.holdReads(true);
    stalled.send("READY\r\n");
    QVERIFY(run.waitForLine(QRegularExpression(QStringLiteral("Sending Song .*0 Long Mix\\.mp3\\."))) >= 0);
    QElapsedTimer clock;
    clock.start();
    qint64 stalledCutAfterMs = -1;

    std::vector<Slot> busy(kClients);
    {
        QObject clients; // gone before the slots its sockets write to
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, this, [&] {
            if (stalledCutAfterMs < 0 && wasReset(stalled.socket))
                stalledCutAfterMs = clock.elapsed();
            for (Slot &slot : busy)
                if (slot.socket && slot.leaveAt >= 0 && slot.received >= slot.leaveAt)
                    leave(slot, slot.leaveByReset);
            for (int i = 0; i < 2; ++i)
                act(busy[size_t(pick(kClients))], quint16(port), songCount, &clients);
        });
        tick.start(10);
        QVERIFY(!runEventsUntil([&] { return !run.running(); }, busyMs));
        tick.stop();
        qInfo("the stalled client was cut off %lld ms after its READY (limit %d ms)", stalledCutAfterMs,
              kStallLimitMs);
        QVERIFY2(stalledCutAfterMs >= 0, "the stalled client's connection was not reset by the server");
        for (Slot &slot : busy) // everybody leaves, some by reset
            if (slot.socket)
                leave(slot, pick(2) == 0);
        QVERIFY2(runEventsUntil([&] { return descriptorCount(pid) <= fdsStart; }, 60000),
                 qPrintable(QStringLiteral("descriptors: %1 at start, %2 now")
                                    .arg(fdsStart)
                                    .arg(descriptorCount(pid))));
    }

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
            synced = fresh.waitUntil([&] { return fresh.mReceived.contains("!"); }, 5000);
        }
        QVERIFY2(synced, "no reply to SYNC after the soak");
        fresh.send("SLLEN\r\n");
        QVERIFY2(fresh.waitUntil([&] { return fresh.mReceived.contains(lengthReply); }),
                 "no correct reply to SLLEN after the soak");
    }

    // Back to where it started: every descriptor, and memory within bounds.
    QVERIFY(runEventsUntil([&] { return descriptorCount(pid) == fdsStart; }, kTimeoutMs));
    const qint64 rssEnd = residentKb(pid);
    const QStringList log = run.lines();
    qInfo("descriptors: %d listening, %d at start and end; resident memory: %lld kB at start, %lld kB at end",
          fdsListening, fdsStart, rssStart, rssEnd);
    qInfo("log: %lld lines, %lld stalls, %lld resets, %lld refused for want of a line", qint64(log.size()),
          qint64(log.filter("Winsock Err #10060").size()), qint64(log.filter("Winsock Err #10054").size()),
          qint64(log.filter("No free lines to answer connection.").size()));
    QVERIFY2(rssEnd - rssStart <= 30 * 1024, "resident memory grew by more than 30 MB");
    int code = -1;
    QVERIFY(run.terminate(&code));
    QCOMPARE(code, 0);
}

QTEST_GUILESS_MAIN(Soak)
#include "tst_e2e_soak.moc"
