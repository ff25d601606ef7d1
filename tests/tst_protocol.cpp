// The protocol: wire formats and the number reader as pure functions, then
// the interpreter, the replies and the streams with real loopback clients,
// the interpreter wired to the lines and the catalogue with fake services.
#include "ProtocolRig.h"

#include "protocol/SongFile.h"
#include "protocol/Wire.h"

#include <QRegularExpression>
#include <QTest>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

QByteArray header(const QByteArray &front)
{
    return front + '\0' + QByteArray(4096 - front.size() - 1, ' ');
}

QByteArray header(qint64 size, const QByteArray &relative)
{
    return header("FILE " + QByteArray::number(size).leftJustified(8) + ' ' + relative);
}

// What the kernel may hold for the sending end of one loopback connection.
qint64 kernelSendBufferLimit()
{
    QFile file(QStringLiteral("/proc/sys/net/ipv4/tcp_wmem"));
    const QList<QByteArray> values
            = file.open(QIODevice::ReadOnly) ? file.readAll().simplified().split(' ') : QList<QByteArray>();
    return values.size() == 3 ? values[2].toLongLong() : 4 << 20;
}

// A server that opened a FIFO the blocking way would hold this very thread
// in open(2) until a writer came. Past its deadline this opens the writing
// end now and then, so that such a test fails instead of hanging.
struct FifoRescue {
    explicit FifoRescue(const QByteArray &path)
        : thread([this, path](std::stop_token stop) {
              std::mutex mutex;
              std::condition_variable_any wake;
              std::unique_lock lock(mutex);
              std::chrono::milliseconds wait = 10s;
              while (!wake.wait_for(lock, stop, std::exchange(wait, 50ms),
                                    [&] { return stop.stop_requested(); })) {
                  const int fd = ::open(path.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                  if (fd >= 0)
                      used = true, ::close(fd);
              }
          })
    {
    }
    std::atomic<bool> used = false;
    std::jthread thread; // last: starts once the rest exists
};

enum class Change { Vanished, Fifo, Folder, Shortened, Grown };

// Puts what is not a regular file where a song was (or nothing at all).
void replaceSong(const QByteArray &path, Change change)
{
    const std::filesystem::path p(path.toStdString());
    std::filesystem::remove(p);
    if (change == Change::Fifo)
        QCOMPARE(::mkfifo(path.constData(), 0644), 0);
    if (change == Change::Folder)
        std::filesystem::create_directory(p);
}

enum class Ending { ClientCloses, OperatorCloses, LineClaimedAgain, ServerExits };

} // namespace

class TestProtocol : public QObject {
    Q_OBJECT
private slots:
    void pureFunctions_data()
    {
        QTest::addColumn<QByteArray>("actual");
        QTest::addColumn<QByteArray>("expected");
        auto fileHeader = [](qint64 size, const QByteArray &path) {
            return Wire::fileHeader(size, path).value_or("none");
        };
        QTest::newRow("header, 8 digits") << fileHeader(99'999'999, "b") << header("FILE 99999999 b");
        // The NUL as the last byte; one path byte more and it falls away, and
        // longer paths are cut at offset 4095.
        const QByteArray p(4081, 'p'), q(4082, 'q');
        QTest::newRow("header, NUL at 4095") << fileHeader(1, p) << header("FILE 1        " + p);
        QTest::newRow("header, cut at 4095") << fileHeader(1, q + "tail") << "FILE 1        " + q;
        QTest::newRow("length, 0") << Wire::lengthReply(0) << QByteArray("0\0        ", 10);
        QTest::newRow("length, 11 digits") << Wire::lengthReply(12'345'678'901) << QByteArray("1234567890");
        auto song = [](const QByteArray &text) {
            const std::optional<qint32> n = Wire::songNumberFromValue(Wire::readNumber(text));
            return n ? QByteArray::number(*n) : QByteArray("none");
        };
        const char *numbers[][2] = {{" \t\n-\t1\n3\r\n", "-13"},
                                    {"1 E 2", "100"},
                                    {"7\r\n8", "7"},
                                    {"2147483647", "2147483647"},
                                    {"-2147483648", "-2147483648"},
                                    {"", "0"},
                                    {"E5", "0"},
                                    {"2.5", "2"},
                                    {"3.5", "4"},
                                    {"1D2", "100"},
                                    {"15E-1", "2"},
                                    {"& h 1 f", "31"},
                                    {"&O78", "7"},
                                    {"-&H10", "-16"},
                                    {"2147483648", "none"},
                                    {"-2147483649", "none"},
                                    {"2147483647.5", "none"},
                                    {"&HFFFFFFFF", "none"},
                                    {"1E999", "none"}};
        for (const auto &n : numbers)
            QTest::addRow("number %s", QByteArray(n[0]).toPercentEncoding(" &-.").constData())
                    << song(n[0]) << QByteArray(n[1]);
        QTest::newRow("long mantissa") << song(QByteArray(400, '0') + "42") << QByteArray("42");
        QTest::newRow("hex beyond double") << song("&H" + QByteArray(300, 'F')) << QByteArray("none");
    }

    void pureFunctions()
    {
        QFETCH(QByteArray, actual);
        QFETCH(QByteArray, expected);
        QCOMPARE(actual, expected);
    }

    void repliesAreByteExact()
    {
        Rig rig;
        const char *paths[]
                = {"a.mp3", "Caf\xe9.mp3", "Rock/b.mp3", "Rock/Sub/c.mp3"}; // Latin-1: served by its bytes
        const QByteArray songs[] = {rig.addSong(paths[0], 0), rig.addSong(paths[1], 10, 2),
                                    rig.addSong(paths[2], 4096, 3), rig.addSong(paths[3], 4097, 4)};
        QVERIFY(rig.start());
        ProtocolClient &c = rig.connect();
        const QString who = Lines::signPadded(c.line) + " - 127.0.0.1";
        QVERIFY(rig.sendOne(c, "SLLEN\r\n"));
        QCOMPARE(c.read(10), QByteArray("49\0       ", 10));
        QCOMPARE(rig.logged(who + " - Recv=7 bytes") + rig.logged(who + " - msg=[SLLEN\r\n]"), 2);
        QCOMPARE(rig.incoming, QStringLiteral("\r\n-->127.0.0.1 - 7 bytes: \r\n\r\nSLLEN\r\n"));
        QVERIFY(rig.sendOne(c, "SLIST\r\n"));
        QCOMPARE(c.read(49),
                 QByteArray("\\a.mp3\r\n\\Caf\xe9.mp3\r\n\\Rock\\b.mp3\r\n\\Rock\\Sub\\c.mp3\r\n"));
        QCOMPARE(rig.logged("Sending Filelist") + rig.logged("Sending Song List (49 bytes)"), 2);
        // Headers are cut by the folder the catalogue was built from, not the field.
        rig.musicFolder = QStringLiteral("/");
        for (int i = 0; i < 4; ++i) {
            QVERIFY(rig.sendOne(c, "SONG " + QByteArray::number(i + 1) + "\r\n"));
            QCOMPARE(c.read(4096), header(songs[i].size(), QByteArray(paths[i]).replace('/', '\\')));
            QCOMPARE(rig.logged("FILE " + QString::number(songs[i].size()).leftJustified(8) + " "
                                + rig.shown(paths[i]) + "\r\n"),
                     1);
            QVERIFY(rig.sendOne(c, "READY\r\n"));
            QCOMPARE(c.read(songs[i].size()), songs[i]);
            QCOMPARE(rig.logged("Sending Song " + rig.shown(paths[i]) + ".\r\n"), 1);
            QVERIFY(rig.nothingPending(c));
        }
        // No reply, and no wrapping of a number beyond 16 bits to song 1.
        const char *quiet[][2] = {{"NOOP whatever\r\n", "NOOP Received\r\n"},
                                  {"SIZE 1234\r\n", "Sent SIZE-R Byte\r\n"},
                                  {"sync \r\n", ""},
                                  {"SONG 0\r\n", ""},
                                  {"SONG 65537\r\n", ""}};
        for (const auto &q : quiet) {
            QVERIFY(rig.sendOne(c, q[0]));
            QCOMPARE(rig.logged(q[1]), *q[1] ? 1 : 0);
            QVERIFY(rig.nothingPending(c));
        }

        // A request without its CR LF is answered at once and its first letter
        // dropped; the rest, and a second message, wait for later arrivals.
        QVERIFY(rig.sendOne(c, "SONG 01"));
        QCOMPARE(c.read(4096), header(0, "a.mp3"));
        QCOMPARE(rig.logged("Corrupt message received\r\nONG 01"), 1);
        QVERIFY(rig.sendOne(c, "\r\nSLLEN\r\n"));
        QCOMPARE(rig.logged("Corrupt message received\r\nSLLEN\r\n"), 1);
        QVERIFY(rig.sendOne(c, "X\r\n"));
        QCOMPARE(c.read(10), Wire::lengthReply(49));
        QCOMPARE(rig.interpreter.cmdBuffer(), QByteArray("X\r\n")); // under seven characters: held
    }

    void songToTheLastSelectedRowWhileCommandsWait()
    {
        Rig rig;
        // More than the kernel can hold while the newer client reads nothing.
        const qint64 size = qMax<qint64>(8 << 20, kernelSendBufferLimit() + (4 << 20)) + 1;
        const QByteArray song = rig.addSong("long.mp3", size, 7);
        QVERIFY(rig.start());
        ProtocolClient &older = rig.connect();
        ProtocolClient &newer = rig.connect(64 * 1024);
        ConnectionTable &table = rig.table();
        QVERIFY(rig.sendOne(older, "SONG 1\r\n"));
        QCOMPARE(older.read(4096) + newer.read(4096), header(size, "long.mp3").repeated(2));

        // The newer line's transfer cells as a view sees them: per piece, counts
        // that grow within the piece (sent and still queued), then "All" and
        // "None"; the pieces carry the song.
        qint64 carried = 0, piece = 0;
        bool countsFit = true;
        connect(table.model(), &QAbstractItemModel::dataChanged, &rig.context, [&](const QModelIndex &at) {
            const int row = table.rowOfLine(newer.line);
            if (at.row() != row || at.column() != ConnectionTable::BytesLeft)
                return;
            const QString sentCell = table.cell(row, ConnectionTable::BytesSent);
            if (sentCell == QLatin1String("All"))
                return void(carried += std::exchange(piece, 0));
            bool ok = false, okLeft = false;
            const qint64 sent = sentCell.trimmed().toLongLong(&ok);
            const qint64 left = table.cell(row, ConnectionTable::BytesLeft).trimmed().toLongLong(&okLeft);
            countsFit = countsFit && ok && okLeft && sent >= piece && sent + left <= SongFile::kPieceSize;
            piece = sent;
        });
        // While the song goes to the newer line two commands from the older
        // line, each its own arrival, are held. The newer client stops reading
        // until the server has logged both, so the song cannot end before they
        // come, however fast the machine.
        bool heldDuringTheSong = false;
        rig.onArrival = {{"SYNC", [&] { older.send("SLLEN\r\n"); }},
                         {"SLLEN", [&] {
                              heldDuringTheSong = rig.interpreter.transferState() == TransferState::Sending;
                              newer.holdReads(false);
                          }}};
        newer.whenReceived(4096 + 64 * 1024, [&] {
            newer.holdReads(true);
            older.send("SYNC \r\n");
            // Should the commands never be logged, the song goes on late and the checks fail.
            QTimer::singleShot(10000, &rig.context, [&] { newer.holdReads(false); });
        });
        QVERIFY(rig.sendOne(older, "READY\r\n"));
        QCOMPARE(newer.read(song.size()), song);
        QVERIFY(newer.waitUntil([&] { return rig.interpreter.transferState() == TransferState::Idle; }));
        rig.onArrival.clear();
        QVERIFY(heldDuringTheSong);
        QCOMPARE(older.available(), 0);
        QCOMPARE(rig.logged("Corrupt message received\r\nSYNC \r\nSLLEN\r\n"), 1);
        QVERIFY(newer.waitUntil([&] { return carried == size; }));
        QVERIFY(countsFit);
        // One held message per later arrival, on any line, to both; text from
        // two lines joins in the one buffer. The selection decides, not the
        // asker; with none, the box's text is logged (there is no display).
        QVERIFY(rig.sendOne(newer, "REA"));
        QCOMPARE(older.read(1) + newer.read(1), QByteArray("!!"));
        QVERIFY(rig.sendOne(older, "DY\r\n"));
        QCOMPARE(older.read(10) + newer.read(10), Wire::lengthReply(11).repeated(2));
        rig.selectOnly(older.line);
        QVERIFY(rig.sendOne(newer, "SYNC \r\n")); // runs the joined READY
        QCOMPARE(older.read(song.size()), song);
        rig.selectOnly(-1);
        QVERIFY(rig.sendOne(newer, "SYNC \r\n"));
        QCOMPARE(rig.logged(Interpreter::noSelectionText()), 1);
    }

    void streamEnds_data()
    {
        QTest::addColumn<Ending>("ending");
        const char *names[] = {"client closes", "operator closes", "line claimed again", "server exits"};
        for (int i = 0; i < 4; ++i)
            QTest::newRow(names[i]) << Ending(i);
    }

    void streamEnds()
    {
        QFETCH(Ending, ending);
        Rig rig;
        const QByteArray song = rig.addSong("long.mp3", 4 << 20, 3);
        QVERIFY(rig.start());
        ProtocolClient &watcher = rig.connect();
        ProtocolClient &target = rig.connect();
        Lines &lines = rig.lines;
        ProtocolClient newcomer; // from an address of its own
        newcomer.socket.bind(QHostAddress(QStringLiteral("127.0.0.3")));
        const int descriptors = NetHarness::openDescriptorCount();
        QVERIFY(rig.sendOne(target, "SONG 1\r\n"));
        QCOMPARE(target.read(4096).size() + watcher.read(4096).size(), 8192);

        // Between two pieces (the stream waits for the server's events, where the
        // client's bytes arrive), the target goes, or a newcomer takes its line.
        target.whenReceived(4096 + 256 * 1024, [&] {
            const auto generation = lines.generation(target.line);
            if (ending == Ending::ClientCloses || ending == Ending::LineClaimedAgain)
                target.socket.abort();
            if (ending == Ending::LineClaimedAgain) {
                newcomer.waitUntil([&] { return lines.generation(target.line) != generation; });
                newcomer.socket.connectToHost(QHostAddress::LocalHost, rig.port);
                newcomer.waitUntil([&] { return lines.lineInUse(target.line); });
            }
            if (ending == Ending::OperatorCloses)
                rig.selectOnly(target.line), lines.cmdClose_Click(), rig.selectOnly(watcher.line);
            if (ending == Ending::ServerExits)
                rig.beginExit();
        });
        QVERIFY(rig.sendOne(target, "READY\r\n"));
        QVERIFY(watcher.waitUntil([&] { return rig.interpreter.transferState() == TransferState::Idle; }));
        QVERIFY(target.total() < 4096 + song.size());
        QCOMPARE(target.mReceived, song.left(target.mReceived.size()));
        if (ending == Ending::ServerExits)
            return;
        // Shown with the address taken before the stream, though the asker's line
        // may be gone or another client's by now.
        QVERIFY(rig.incoming.endsWith(QLatin1String("-->127.0.0.1 - 7 bytes: \r\n\r\nREADY\r\n")));
        QVERIFY(watcher.waitUntil(
                [&] { return lines.lineInUse(target.line) == (ending == Ending::LineClaimedAgain); }));
        QCOMPARE(newcomer.total(), 0);
        QVERIFY(rig.loggedWith(QStringLiteral(" no longer exists.")) <= 1); // the stream did not go on
        // Served as before, and no socket or file left open by the stream.
        QVERIFY(rig.nothingPending(watcher));
        const int gone = ending == Ending::LineClaimedAgain ? 1 : NetHarness::kDescriptorsPerConnection;
        QVERIFY(watcher.waitUntil([&] { return NetHarness::openDescriptorCount() == descriptors - gone; }));
    }

    void songChangedSinceItsHeader_data()
    {
        QTest::addColumn<Change>("change");
        QTest::addColumn<qint64>("served"); // before the line closes; -1: all, and it stays
        QTest::newRow("swapped for a folder") << Change::Folder << 0LL;
        QTest::newRow("vanished") << Change::Vanished << 0LL;
        QTest::newRow("shortened") << Change::Shortened << 6000LL;
        QTest::newRow("grown") << Change::Grown << -1LL;
    }

    void songChangedSinceItsHeader()
    {
        QFETCH(Change, change);
        QFETCH(qint64, served);
        Rig rig;
        const QByteArray song = rig.addSong("a.mp3", 10000, 5);
        QVERIFY(rig.start());
        ProtocolClient &c = rig.connect();
        QVERIFY(rig.sendOne(c, "SONG 1\r\n"));
        QCOMPARE(c.read(4096), header(10000, "a.mp3"));

        const QByteArray path = rig.path("a.mp3");
        if (change < Change::Shortened)
            replaceSong(path, change);
        if (change == Change::Shortened)
            std::filesystem::resize_file(path.constData(), 6000);
        if (change == Change::Grown)
            std::ofstream(path.constData(), std::ios::binary | std::ios::app) << "more than was announced";
        QVERIFY(rig.sendOne(c, "READY\r\n"));
        QCOMPARE(rig.interpreter.transferState(), TransferState::Idle);
        if (served < 0) {
            QCOMPARE(c.read(song.size()), song);
            QVERIFY(rig.nothingPending(c)); // nothing beyond the announced size
            return;
        }

        // The client sees its connection end, rather than wait for ever for the
        // announced bytes or take the next header for song data.
        QVERIFY(c.waitUntil([&] { return c.socket.state() == QAbstractSocket::UnconnectedState; }));
        QCOMPARE(c.mReceived, song.left(served));
        const QString why = served ? QStringLiteral("Song stopped, the file cannot be read to its end: ")
                                   : QStringLiteral("Song not sent, the file cannot be opened: ");
        QCOMPARE(rig.loggedWith(why + rig.shown("a.mp3") + " ("), 1);
        QCOMPARE(rig.logged("Song stopped after " + Wire::groupedCount(served) + " of "
                            + Wire::groupedCount(10000) + " bytes, line #" + QString::number(c.line)
                            + " closed: " + rig.shown("a.mp3")),
                 1);
        // Freed as by the operator's close, without its log line, and no Close
        // event comes back for it; line and gate serve the next client.
        QCOMPARE(rig.table().rowOfLine(c.line), -1);
        QCOMPARE(rig.loggedWith(QStringLiteral("User Closed Line"))
                         + rig.loggedWith(QStringLiteral(": closed connection.")),
                 0);
        ProtocolClient &next = rig.connect();
        QCOMPARE(next.line, c.line);
        QVERIFY(rig.nothingPending(next));
    }

    void nothingSentForWhatCannotBeServed()
    {
        Rig rig;
        const char *names[] = {"a.mp3", "b.mp3", "c.mp3", "d.mp3"};
        QByteArray ten;
        for (const char *name : names)
            ten = rig.addSong(name, 10);
        rig.addSong("e.mp3", 100'000'000, -1);
        rig.addSong("f.mp3", 5LL << 30, -1);
        QVERIFY(rig.start());
        ProtocolClient &c = rig.connect();
        QVERIFY(rig.sendOne(c, "READY\r\n"));
        QCOMPARE(rig.logged("Nothing sent for READY: no song has been chosen"), 1);

        // Changed since the scan listed them as songs: no header for what cannot
        // be opened now as a regular file (a FIFO is not waited on for a
        // writer), nor for sizes the header cannot announce; READY then sends
        // nothing, and the conversation goes on.
        for (Change change : {Change::Vanished, Change::Fifo, Change::Folder})
            replaceSong(rig.path(names[int(change)]), change);
        const FifoRescue rescue(rig.path(names[1]));
        for (int song : {1, 2, 3, 5, 6}) {
            const QString why = "song " + QString::number(song)
                    + (song > 4 ? " is too large to announce ("
                                       + Wire::groupedCount(song == 5 ? 100'000'000 : 5LL << 30) + " bytes"
                                : " cannot be read (" + rig.shown(names[song - 1])
                                       + (song == 1 ? ": "
                                                    : ": not a regular file)")); // 1: the system's words
            QVERIFY(rig.sendOne(c, "SONG " + QByteArray::number(song) + "\r\n"));
            QVERIFY(rig.sendOne(c, "READY\r\n"));
            QVERIFY2(rig.loggedWith("No file header sent: " + why)
                                     + rig.loggedWith("Nothing sent for READY: " + why)
                             == 2,
                     qPrintable(why));
            QVERIFY(rig.nothingPending(c));
        }
        QVERIFY(!rescue.used);
        QCOMPARE(rig.loggedWith("Sending Song "), 0);
        // What is still a readable file gets its header: the checks above can see one.
        QVERIFY(rig.sendOne(c, "SONG 4\r\n"));
        QCOMPARE(c.read(4096), header(10, "d.mp3"));
        QVERIFY(rig.sendOne(c, "READY\r\n")); // nothing of the refusals is left over
        QCOMPARE(c.read(10), ten);

        // Four megabytes without a line end, then one: the receive buffer and
        // the log stay bounded, and the conversation goes on.
        const QByteArray &buffer = rig.interpreter.cmdBuffer();
        qsizetype largest = 0, longestEntry = 0;
        rig.watch = [&](const QString &entry) {
            largest = qMax(largest, buffer.size());
            longestEntry = qMax(longestEntry, entry.size());
        };
        c.send(QByteArray(4 << 20, 'x') + "\r\n");
        QVERIFY(c.waitUntil([&] { return rig.loggedWith("x\r\n]") + rig.loggedWith("[\r\n]") == 1; }));
        QVERIFY(largest <= Interpreter::kMaxCmdBuffer);
        QVERIFY(rig.loggedWith("Receive buffer limit of " + Wire::groupedCount(32768) + " bytes exceeded: ")
                >= 1);
        // No entry holds more than one arrival of at most 64 KiB: the log pane,
        // purged above 65000 characters, stays bounded.
        QVERIFY(longestEntry < 64 * 1024 + 100);
        rig.watch = nullptr;
        QVERIFY(rig.nothingPending(c));
        QCOMPARE(buffer, QByteArray());
        // Six characters wait for a seventh, as when a message is split at its CR.
        QVERIFY(rig.sendOne(c, "SYNC \r"));
        QCOMPARE(buffer, QByteArray("SYNC \r"));
    }

    // Runs nested in the gate's wait: the gate is held shut by a client that
    // stopped reading a large send; should a fault keep it shut, it opens late
    // and the checks fail rather than hang.
    void runsNestedInTheGate()
    {
        Rig rig;
        rig.addSong("one.mp3", 11);
        rig.addSong("two.mp3", 22);
        for (int i = 0; i < 300; ++i)
            rig.addSong("zz/a long name for song " + QByteArray::number(i) + " in a list of many.mp3", 0);
        QVERIFY(rig.start());
        const QByteArray list = rig.catalogue.mFilelist();
        ProtocolClient &c = rig.connect();
        NetHarness::GateHolder gate(rig.lines, rig.port);
        QTimer late;
        late.setSingleShot(true);
        connect(&late, &QTimer::timeout, &rig.context, [&] { gate.open(); });
        auto shut = [&] { return late.start(10000), gate.shut(); };

        // SONG 1's header waits in the gate, where SONG 2 runs nested and is
        // answered first. Neither is read twice; each "FILE " line names its
        // own song.
        QVERIFY(shut());
        rig.onArrival = {{"SONG 1", [&] { c.send("SONG 2\r\n"); }}, {"SONG 2", [&] { gate.open(); }}};
        QVERIFY(rig.sendOne(c, "SONG 1\r\n"));
        QCOMPARE(c.read(8192), header("FILE 22       two.mp3") + header("FILE 11       one.mp3"));
        QVERIFY(rig.nothingPending(c));
        QCOMPARE(rig.entries.filter(QRegularExpression(QStringLiteral("^FILE |^Corrupt"))),
                 QStringList({"FILE 22       " + rig.shown("two.mp3") + "\r\n",
                              "FILE 11       " + rig.shown("one.mp3") + "\r\n"}));

        // Mid-list, a sync is answered between two pieces, and most songs go: the
        // reloaded list is much shorter, but the stream goes on with the old one.
        // The gate stays shut from the first piece on until the sync has come.
        rig.onArrival = {{"SYNC ", [&] { gate.open(); }}};
        c.whenReceived(c.total() + 4096, [&] {
            QVERIFY(shut());
            c.send("SYNC \r\n");
            std::filesystem::remove_all(rig.path("zz").toStdString());
            rig.catalogue.cmdReload_Click();
        });
        QVERIFY(rig.sendOne(c, "SLIST\r\n"));
        QByteArray got = c.read(list.size() + 1);
        QVERIFY(c.waitUntil([&] { return rig.interpreter.transferState() == TransferState::Idle; }));
        QCOMPARE(got.indexOf('!') % 4096, 0);
        QCOMPARE(got.remove(got.indexOf('!'), 1), list);
        QVERIFY(rig.nothingPending(c));
        QVERIFY(rig.sendOne(c, "SLIST\r\n"));
        QCOMPARE(c.read(20), QByteArray("\\one.mp3\r\n\\two.mp3\r\n"));

        // The sync reply to the selected lines waits in the gate at the first
        // line; meanwhile the last line's client leaves and a newcomer takes
        // that line. The walk over the rows goes on: the first line gets its
        // reply, the send meant for the gone client fails and is logged rather
        // than reach the newcomer.
        ProtocolClient &b = rig.connect();
        ProtocolClient newcomer;
        QVERIFY(shut());
        connect(rig.table().model(), &QAbstractItemModel::rowsRemoved, &rig.context,
                [&] { newcomer.socket.connectToHost(QHostAddress::LocalHost, rig.port); });
        connect(rig.table().model(), &QAbstractItemModel::rowsInserted, &rig.context,
                [&](const QModelIndex &, int row) {
                    newcomer.line = rig.table().lineOfRow(row), gate.open();
                });
        rig.onArrival = {{"SYNC ", [&] { b.socket.abort(); }}};
        QVERIFY(rig.sendOne(c, "SYNC \r\n"));
        QCOMPARE(c.read(1), QByteArray("!"));
        QCOMPARE(rig.logged("Winsock #" + Lines::signPadded(b.line) + " no longer exists."), 1);
        rig.onArrival.clear();
        // Whatever reached the newcomer comes before the reply it asks for now.
        QCOMPARE(newcomer.line, b.line);
        rig.selectOnly(b.line);
        QVERIFY(rig.sendOne(newcomer, "SLLEN\r\n"));
        QCOMPARE(newcomer.read(10), Wire::lengthReply(20));

        // One sync per arrival: every acting run waits in the gate with the
        // next arrival nested inside it. Past the bound the arrivals are held in
        // the buffer instead of deepening the stack, which a remote client could
        // otherwise overflow; they are answered one per later arrival.
        constexpr int kBound = Interpreter::kMaxNestedRuns;
        int sent = 1;
        QByteArray heldAtTheTop;
        rig.selectOnly(c.line);
        QVERIFY(shut());
        rig.onArrival = {{"SYNC ", [&] {
                              if (sent++ < kBound + 5)
                                  return c.send("SYNC \r\n");
                              heldAtTheTop = rig.interpreter.cmdBuffer();
                              gate.open();
                          }}};
        QVERIFY(rig.sendOne(c, "SYNC \r\n"));
        QCOMPARE(c.read(kBound), QByteArray(kBound, '!'));
        QCOMPARE(heldAtTheTop, QByteArray("SYNC \r\n").repeated(5));
        QVERIFY(rig.sendOne(c, "NOOP \r\n"));
        QCOMPARE(c.read(1), QByteArray("!"));
        QCOMPARE(c.available(), 0);
    }
};

QTEST_GUILESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
