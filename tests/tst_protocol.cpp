// The protocol: wire formats and the number reader as pure functions, then
// the interpreter, the replies and the streams with real loopback clients,
// the interpreter wired to the lines and the catalogue with fake services.
#include "ProtocolRig.h"

#include "protocol/SongFile.h"
#include "protocol/Wire.h"

#include <QRegularExpression>
#include <QSemaphore>
#include <QTest>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A song's header as its client must see it: text, a NUL, spaces to 4096 bytes.
QByteArray header(qint64 size, const QByteArray &relative)
{
    const QByteArray front = "FILE " + QByteArray::number(size).leftJustified(8) + ' ' + relative;
    return front + '\0' + QByteArray(4096 - front.size() - 1, ' ');
}

// One message as one arrival, then n bytes of the reply (on timeout, what
// there is); a message the server never logged reads back as itself.
QByteArray ask(Rig &rig, ProtocolClient &c, const QByteArray &message, qint64 n)
{
    return rig.sendOne(c, message) ? c.read(n) : message;
}

// What the kernel may hold for the sending end of one loopback connection
// (0 where it does not tell).
qint64 kernelSendBufferLimit()
{
    QFile file(QStringLiteral("/proc/sys/net/ipv4/tcp_wmem"));
    return file.open(QIODevice::ReadOnly) ? file.readAll().simplified().split(' ').value(2).toLongLong() : 0;
}

// A server that opened a FIFO the blocking way would hold this very thread
// in open(2) until a writer came. Past its deadline this opens the writing
// end now and then, so that such a test fails instead of hanging.
struct FifoRescue {
    explicit FifoRescue(const QByteArray &path)
        : thread([this, path] {
              for (int wait = 10000; !done.tryAcquire(1, std::exchange(wait, 50));)
                  if (const int fd = ::open(path.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC); fd >= 0)
                      used = true, ::close(fd);
          })
    {
    }
    ~FifoRescue() { done.release(); }
    QSemaphore done;
    std::atomic<bool> used = false;
    std::jthread thread; // last: starts once the rest exists
};

enum class Change { Vanished, Fifo, Folder, Shortened, Grown };
constexpr qint64 kShortenedTo = 6000; // bytes

// Puts something else where a song was: nothing at all, what is not a
// regular file, or a file of another size than the one announced.
void changeSong(const QByteArray &path, Change change)
{
    const std::filesystem::path p(path.toStdString());
    if (change < Change::Shortened)
        std::filesystem::remove(p);
    if (change == Change::Fifo)
        QCOMPARE(::mkfifo(path.constData(), 0644), 0);
    if (change == Change::Folder)
        std::filesystem::create_directory(p);
    if (change == Change::Shortened)
        std::filesystem::resize_file(p, kShortenedTo);
    if (change == Change::Grown)
        std::ofstream(p, std::ios::binary | std::ios::app) << "more than was announced";
}

enum class Ending { ClientCloses, OperatorCloses, LineClaimedAgain, ServerExits };

} // namespace

class TestProtocol : public QObject {
    Q_OBJECT
private slots:
    void wireFormats()
    {
        QCOMPARE(Wire::fileHeader(99'999'999, "b").value_or(""), header(99'999'999, "b"));
        // The NUL as the last byte; one path byte more and it falls away, and
        // longer paths are cut at offset 4095.
        const QByteArray p(4081, 'p'), q(4082, 'q');
        QCOMPARE(Wire::fileHeader(1, p).value_or(""), header(1, p));
        QCOMPARE(Wire::fileHeader(1, q + "tail").value_or(""), "FILE 1        " + q);
        QCOMPARE(Wire::lengthReply(0), QByteArray("0\0        ", 10));
        QCOMPARE(Wire::lengthReply(12'345'678'901), QByteArray("1234567890"));
    }

    void songNumbers_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("expected"); // "none": no 32-bit number
        auto numbers = [](const QByteArray &expected, const QByteArrayList &texts) {
            for (const QByteArray &text : texts)
                QTest::addRow("number %s", text.left(20).toPercentEncoding(" &-.").constData())
                        << text << expected;
        };
        numbers("-13", {" \t\n-\t1\n3\r\n"});
        numbers("100", {"1 E 2", "1D2"});
        numbers("7", {"7\r\n8", "&O78"});
        numbers("0", {"", "E5"});
        numbers("2", {"2.5", "15E-1"});
        numbers("4", {"3.5"});
        numbers("31", {"& h 1 f"});
        numbers("-16", {"-&H10"});
        numbers("42", {QByteArray(400, '0') + "42"});
        numbers("2147483647", {"2147483647"});
        numbers("-2147483648", {"-2147483648"});
        numbers("none", {"2147483648", "-2147483649", "2147483647.5", "&HFFFFFFFF", "1E999"});
        numbers("none", {"&H" + QByteArray(300, 'F')}); // beyond what a double holds
    }

    void songNumbers()
    {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, expected);
        const std::optional<qint32> n = Wire::songNumberFromValue(Wire::readNumber(text));
        QCOMPARE(n ? QByteArray::number(*n) : QByteArray("none"), expected);
    }

    void repliesAreByteExact()
    {
        Rig rig;
        // A Latin-1 name is served by its bytes.
        const char *paths[] = {"a.mp3", "Caf\xe9.mp3", "Rock/b.mp3", "Rock/Sub/c.mp3"};
        const QByteArray songs[] = {rig.addSong(paths[0], 0), rig.addSong(paths[1], 10, 2),
                                    rig.addSong(paths[2], 4096, 3), rig.addSong(paths[3], 4097, 4)};
        QVERIFY(rig.start());
        ProtocolClient &c = rig.connect();
        QCOMPARE(ask(rig, c, "SLLEN\r\n", 10), QByteArray("49\0       ", 10));
        const QString who = Lines::signPadded(c.line) + " - 127.0.0.1";
        QCOMPARE(rig.logged(who + " - Recv=7 bytes") + rig.logged(who + " - msg=[SLLEN\r\n]"), 2);
        QCOMPARE(rig.incoming, QStringLiteral("\r\n-->127.0.0.1 - 7 bytes: \r\n\r\nSLLEN\r\n"));
        QCOMPARE(ask(rig, c, "SLIST\r\n", 49),
                 QByteArray("\\a.mp3\r\n\\Caf\xe9.mp3\r\n\\Rock\\b.mp3\r\n\\Rock\\Sub\\c.mp3\r\n"));
        QCOMPARE(rig.logged("Sending Filelist") + rig.logged("Sending Song List (49 bytes)"), 2);
        // Headers are cut by the folder the catalogue was built from, not the field.
        rig.musicFolder = QStringLiteral("/");
        for (int i = 0; i < 4; ++i) {
            const QString size = QString::number(songs[i].size()).leftJustified(8);
            QCOMPARE(ask(rig, c, "SONG " + QByteArray::number(i + 1) + "\r\n", 4096),
                     header(songs[i].size(), QByteArray(paths[i]).replace('/', '\\')));
            QCOMPARE(rig.logged("FILE " + size + ' ' + rig.shown(paths[i]) + "\r\n"), 1);
            QCOMPARE(ask(rig, c, "READY\r\n", songs[i].size()), songs[i]);
            QCOMPARE(rig.logged("Sending Song " + rig.shown(paths[i]) + ".\r\n"), 1);
            QVERIFY(rig.nothingPending(c));
        }
        // No reply, and no wrapping of a number beyond 16 bits to song 1.
        for (const char *quiet :
             {"NOOP whatever\r\n", "SIZE 1234\r\n", "sync \r\n", "SONG 0\r\n", "SONG 65537\r\n"}) {
            QVERIFY(rig.sendOne(c, quiet));
            QVERIFY(rig.nothingPending(c));
        }
        QCOMPARE(rig.logged("NOOP Received\r\n") + rig.logged("Sent SIZE-R Byte\r\n"), 2);

        // A request without its CR LF is answered at once and its first letter
        // dropped; the rest, and a second message, wait for later arrivals.
        QCOMPARE(ask(rig, c, "SONG 01", 4096), header(0, "a.mp3"));
        QCOMPARE(rig.logged("Corrupt message received\r\nONG 01"), 1);
        QVERIFY(rig.sendOne(c, "\r\nSLLEN\r\n"));
        QCOMPARE(rig.logged("Corrupt message received\r\nSLLEN\r\n"), 1);
        QCOMPARE(ask(rig, c, "X\r\n", 10), Wire::lengthReply(49));
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
            if (at.row() != table.rowOfLine(newer.line) || at.column() != ConnectionTable::BytesLeft)
                return;
            const QString sentCell = table.cell(at.row(), ConnectionTable::BytesSent);
            if (sentCell == QLatin1String("All"))
                return void(carried += std::exchange(piece, 0));
            bool ok = false, okLeft = false;
            const qint64 sent = sentCell.toLongLong(&ok);
            const qint64 left = at.data().toString().toLongLong(&okLeft);
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
        ProtocolClient newcomer; // from an address of its own
        newcomer.socket.bind(QHostAddress(QStringLiteral("127.0.0.3")));
        const int descriptors = NetHarness::openDescriptorCount();
        QVERIFY(rig.sendOne(target, "SONG 1\r\n"));
        QCOMPARE(target.read(4096).size() + watcher.read(4096).size(), 8192);

        // Between two pieces (the stream waits for the server's events, where the
        // client's bytes arrive), the target goes, or a newcomer takes its line.
        target.whenReceived(4096 + 256 * 1024, [&] {
            const auto generation = rig.lines.generation(target.line);
            if (ending == Ending::ClientCloses || ending == Ending::LineClaimedAgain)
                target.socket.abort();
            if (ending == Ending::LineClaimedAgain) {
                newcomer.waitUntil([&] { return rig.lines.generation(target.line) != generation; });
                newcomer.socket.connectToHost(QHostAddress::LocalHost, rig.port);
                newcomer.waitUntil([&] { return rig.lines.lineInUse(target.line); });
            }
            if (ending == Ending::OperatorCloses)
                rig.selectOnly(target.line), rig.lines.cmdClose_Click(), rig.selectOnly(watcher.line);
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
                [&] { return rig.lines.lineInUse(target.line) == (ending == Ending::LineClaimedAgain); }));
        QCOMPARE(newcomer.total(), 0);
        QVERIFY(rig.loggedWith(" no longer exists.") <= 1); // the stream did not go on
        // Served as before, and no socket or file left open by the stream.
        QVERIFY(rig.nothingPending(watcher));
        const int gone = ending == Ending::LineClaimedAgain ? 1 : NetHarness::kDescriptorsPerConnection;
        QVERIFY(watcher.waitUntil([&] { return NetHarness::openDescriptorCount() == descriptors - gone; }));
    }

    void songChangedSinceItsHeader_data()
    {
        QTest::addColumn<Change>("change");
        QTest::newRow("swapped for a folder") << Change::Folder;
        QTest::newRow("vanished") << Change::Vanished;
        QTest::newRow("shortened") << Change::Shortened;
        QTest::newRow("grown") << Change::Grown;
    }

    void songChangedSinceItsHeader()
    {
        QFETCH(Change, change);
        Rig rig;
        const QByteArray song = rig.addSong("a.mp3", 10000, 5);
        QVERIFY(rig.start());
        ProtocolClient &c = rig.connect();
        QCOMPARE(ask(rig, c, "SONG 1\r\n", 4096), header(10000, "a.mp3"));
        changeSong(rig.path("a.mp3"), change);
        QVERIFY(rig.sendOne(c, "READY\r\n"));
        if (change == Change::Grown) {
            QCOMPARE(c.read(song.size()), song);
            QVERIFY(rig.nothingPending(c)); // nothing beyond the announced size
            return;
        }

        // The client sees its connection end, rather than wait for ever for the
        // announced bytes or take the next header for song data.
        const qint64 served = change == Change::Shortened ? kShortenedTo : 0;
        QVERIFY(c.waitUntil([&] { return c.socket.state() == QAbstractSocket::UnconnectedState; }));
        QCOMPARE(c.mReceived, song.left(served));
        const QString why = served ? "Song stopped, the file cannot be read to its end: "
                                   : "Song not sent, the file cannot be opened: ";
        QCOMPARE(rig.loggedWith(why + rig.shown("a.mp3") + " ("), 1);
        QCOMPARE(rig.logged("Song stopped after " + Wire::groupedCount(served) + " of "
                            + Wire::groupedCount(10000) + " bytes, line #" + QString::number(c.line)
                            + " closed: " + rig.shown("a.mp3")),
                 1);
        // Freed as by the operator's close, without its log line, and no Close
        // event comes back for it; line and gate serve the next client.
        QCOMPARE(rig.table().rowOfLine(c.line), -1);
        QCOMPARE(rig.loggedWith("User Closed Line") + rig.loggedWith(": closed connection."), 0);
        ProtocolClient &next = rig.connect();
        QCOMPARE(next.line, c.line);
        QVERIFY(rig.nothingPending(next));
    }

    void nothingSentForWhatCannotBeServed()
    {
        Rig rig;
        const char *names[] = {"a.mp3", "b.mp3", "c.mp3", "d.mp3", "e.mp3", "f.mp3"};
        const qint64 sizes[] = {10, 10, 10, 10, 100'000'000, 5LL << 30};
        QByteArray songs[6];
        for (int i = 0; i < 6; ++i)
            songs[i] = rig.addSong(names[i], sizes[i], sizes[i] > 10 ? -1 : 1); // large ones: all holes
        QVERIFY(rig.start());
        ProtocolClient &c = rig.connect();
        QVERIFY(rig.sendOne(c, "READY\r\n"));
        QCOMPARE(rig.logged("Nothing sent for READY: no song has been chosen"), 1);

        // Changed since the scan listed them as songs: no header for what cannot
        // be opened now as a regular file (a FIFO is not waited on for a
        // writer), nor for sizes the header cannot announce; READY then sends
        // nothing, and the conversation goes on.
        for (Change change : {Change::Vanished, Change::Fifo, Change::Folder})
            changeSong(rig.path(names[int(change)]), change);
        const FifoRescue rescue(rig.path(names[1]));
        for (int song : {1, 2, 3, 5, 6}) {
            const QString shown = rig.shown(names[song - 1]), size = Wire::groupedCount(sizes[song - 1]);
            // Song 1's reason goes on in the system's own words.
            const QString why = "song " + QString::number(song)
                    + (song > 4 ? " is too large to announce (" + size + " bytes"
                                : " cannot be read (" + shown + (song == 1 ? ": " : ": not a regular file)"));
            QVERIFY(rig.sendOne(c, "SONG " + QByteArray::number(song) + "\r\n"));
            QVERIFY(rig.sendOne(c, "READY\r\n"));
            const int logged = rig.loggedWith("No file header sent: " + why)
                    + rig.loggedWith("Nothing sent for READY: " + why);
            QVERIFY2(logged == 2, qPrintable(why));
            QVERIFY(rig.nothingPending(c));
        }
        QVERIFY(!rescue.used);
        QCOMPARE(rig.loggedWith("Sending Song "), 0);
        // What is still a readable file gets its header: the checks above can see one.
        QCOMPARE(ask(rig, c, "SONG 4\r\n", 4096), header(10, "d.mp3"));
        QCOMPARE(ask(rig, c, "READY\r\n", 10), songs[3]); // nothing of the refusals is left over

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

    void songsOpenOnlyWithinTheMusicFolder_data()
    {
        QTest::addColumn<bool>("kernelCall");
        QTest::newRow("openat2") << true;
        QTest::newRow("without openat2") << false;
    }

    // A song, or a folder above one, swapped after the scan for a link to
    // private files of the same names and sizes: no byte of them reaches a
    // client, whether the swap comes before "SONG " or between "SONG " and
    // "READY"; a link that stays within, by an absolute path, is served all
    // along.
    void songsOpenOnlyWithinTheMusicFolder()
    {
        QFETCH(bool, kernelCall);
        SongFile::setKernelResolvesBeneath(kernelCall);
        const auto restore = qScopeGuard([] { SongFile::setKernelResolvesBeneath(true); });
        Rig rig;
        QTemporaryDir elsewhere;
        const std::filesystem::path away(elsewhere.path().toStdString());
        std::filesystem::create_directory(away / "f");
        for (const char *name : {"secret.mp3", "f/b.mp3"})
            std::ofstream(away / name, std::ios::binary) << std::string(100, 'S');
        rig.addSong("a.mp3", 100, 1);
        rig.addSong("f/b.mp3", 100, 2);
        const QByteArray c3 = rig.addSong(".hid/c.mp3", 100, 3);
        std::filesystem::create_directory_symlink(rig.path(".hid").toStdString(),
                                                  rig.path("L").toStdString());
        QVERIFY(rig.start());
        ProtocolClient &c = rig.connect();
        QCOMPARE(ask(rig, c, "SONG 3\r\n", 4096), header(100, "L\\c.mp3"));
        QCOMPARE(ask(rig, c, "READY\r\n", 100), c3);

        const QString outside = rig.shown("a.mp3") + ": it leads outside the music folder)";
        std::filesystem::remove(rig.path("a.mp3").toStdString());
        std::filesystem::create_symlink(away / "secret.mp3", rig.path("a.mp3").toStdString());
        QVERIFY(rig.sendOne(c, "SONG 1\r\n") && rig.sendOne(c, "READY\r\n"));
        QCOMPARE(rig.loggedWith(": song 1 cannot be read (" + outside), 2); // no header, nothing for READY
        QVERIFY(rig.nothingPending(c));

        QCOMPARE(ask(rig, c, "SONG 2\r\n", 4096), header(100, "f\\b.mp3"));
        std::filesystem::rename(rig.path("f").toStdString(), rig.path(".f").toStdString());
        std::filesystem::create_directory_symlink(away / "f", rig.path("f").toStdString());
        QVERIFY(rig.sendOne(c, "READY\r\n"));
        QVERIFY(c.endedSilently());
        QCOMPARE(rig.logged("Song not sent, the file cannot be opened: " + rig.shown("f/b.mp3")
                            + " (it leads outside the music folder)"),
                 1);
        // The next client is served what lies within.
        ProtocolClient &next = rig.connect();
        QCOMPARE(ask(rig, next, "SONG 3\r\n", 4096), header(100, "L\\c.mp3"));
        QCOMPARE(ask(rig, next, "READY\r\n", 100), c3);
        // The folder swapped in the very moment between resolving and opening:
        // the open follows no link, so it fails.
        std::filesystem::create_directory_symlink(away / "f", rig.path(".hid2").toStdString());
        std::filesystem::copy_file(away / "secret.mp3", away / "f/c.mp3");
        SongFile::setBeforeResolvedOpen([&] {
            std::filesystem::rename(rig.path(".hid").toStdString(), rig.path(".was").toStdString());
            std::filesystem::rename(rig.path(".hid2").toStdString(), rig.path(".hid").toStdString());
        });
        const auto unhook = qScopeGuard([] { SongFile::setBeforeResolvedOpen({}); });
        QVERIFY(rig.sendOne(next, "SONG 3\r\n"));
        QCOMPARE(rig.logged("No file header sent: song 3 cannot be read (" + rig.shown("L/c.mp3")
                            + ": its path changed as it was opened)"),
                 1);
        QVERIFY(rig.nothingPending(next));
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
        QTimer late; // opening an open gate does nothing, so it may repeat
        late.callOnTimeout(&rig.context, [&] { gate.open(); });
        auto shut = [&] { return late.start(10000), gate.shut(); };

        // SONG 1's header waits in the gate, where SONG 2 runs nested and is
        // answered first. Neither is read twice; each "FILE " line names its
        // own song.
        QVERIFY(shut());
        rig.onArrival = {{"SONG 1", [&] { c.send("SONG 2\r\n"); }}, {"SONG 2", [&] { gate.open(); }}};
        QCOMPARE(ask(rig, c, "SONG 1\r\n", 8192), header(22, "two.mp3") + header(11, "one.mp3"));
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
        QByteArray got = ask(rig, c, "SLIST\r\n", list.size() + 1);
        QVERIFY(c.waitUntil([&] { return rig.interpreter.transferState() == TransferState::Idle; }));
        QCOMPARE(got.indexOf('!') % 4096, 0);
        QCOMPARE(got.remove(got.indexOf('!'), 1), list);
        QVERIFY(rig.nothingPending(c));
        QCOMPARE(ask(rig, c, "SLIST\r\n", 20), QByteArray("\\one.mp3\r\n\\two.mp3\r\n"));

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
        connect(rig.table().model(), &QAbstractItemModel::rowsInserted, &rig.context, [&] { gate.open(); });
        rig.onArrival = {{"SYNC ", [&] { b.socket.abort(); }}};
        QCOMPARE(ask(rig, c, "SYNC \r\n", 1), QByteArray("!"));
        QCOMPARE(rig.logged("Winsock #" + Lines::signPadded(b.line) + " no longer exists."), 1);
        // Whatever reached the newcomer on that line comes before the reply it
        // asks for now.
        rig.selectOnly(b.line);
        QCOMPARE(ask(rig, newcomer, "SLLEN\r\n", 10), Wire::lengthReply(20));

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
        QCOMPARE(ask(rig, c, "SYNC \r\n", kBound), QByteArray(kBound, '!'));
        QCOMPARE(heldAtTheTop, QByteArray("SYNC \r\n").repeated(5));
        QCOMPARE(ask(rig, c, "NOOP \r\n", 1), QByteArray("!"));
        QCOMPARE(c.available(), 0);
    }
};

QTEST_GUILESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
