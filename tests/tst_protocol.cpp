// The protocol: wire formats and the number reader as pure functions, then
// the interpreter, the replies and the song stream with real loopback
// clients against a whole Server.
#include "ProtocolClient.h"

#include "app/OperatorLog.h"
#include "app/Server.h"
#include "library/SongCatalogue.h"
#include "net/ConnectionTable.h"
#include "net/Lines.h"
#include "net/Winsock.h"
#include "protocol/Interpreter.h"
#include "protocol/SongFile.h"
#include "protocol/Wire.h"

#include <QAbstractItemModel>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QItemSelectionModel>
#include <QTemporaryDir>
#include <QHostAddress>
#include <QLocale>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>

namespace {

QByteArray spaces(qsizetype n)
{
    return QByteArray(n, ' ');
}

// Bytes that tell every offset of a song apart from its neighbours.
QByteArray songBytes(qint64 size, int seed)
{
    QByteArray data(size, Qt::Uninitialized);
    quint32 x = 2166136261u ^ quint32(seed);
    for (qint64 i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        data[i] = char(x >> 24);
    }
    return data;
}


// Music trees go to memory where the system offers it: creating tens of
// thousands of files on a slow disk costs far more than the test itself.
QString tempTemplate()
{
    const QFileInfo shm(QStringLiteral("/dev/shm"));
    const QString base = shm.isDir() && shm.isWritable() ? shm.filePath() : QDir::tempPath();
    return base + QStringLiteral("/tst_protocol-XXXXXX");
}

// A whole server on loopback with a generated music folder, and the clients
// that talk to it. Every log entry is kept as it is appended, so that the
// log pane's purges never hide one from a test.
class Rig {
public:
    Rig()
    {
        server.log().setEchoToStdout(false);
        server.setTxtIP(QStringLiteral("127.0.0.1"));
        server.setTxtPort(QStringLiteral("0"));
        server.setTxtMusicFolder(music.path());
        QObject::connect(&server.log().logPane(), &MessagePane::appended, &server,
                         [this](const QString &entry) {
                             entries << entry;
                             if (entry.contains(QLatin1String(" - msg=[")))
                                 ++arrivals;
                         });
    }

    QString songPath(const QString &relative) const { return music.filePath(relative); }

    QByteArray addSong(const QString &relative, qint64 size, int seed = 0)
    {
        const QString path = songPath(relative);
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        const QByteArray data = songBytes(size, seed);
        if (!f.open(QIODevice::WriteOnly) || f.write(data) != size)
            qFatal("cannot write %s", qPrintable(path));
        return data;
    }

    // A file of this size without writing it (holes), for sizes the header
    // cannot announce.
    void addSparseSong(const QString &relative, qint64 size)
    {
        const QString path = songPath(relative);
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || !f.resize(size))
            qFatal("cannot size %s", qPrintable(path));
    }

    bool start()
    {
        server.catalogue().LoadMP3List();
        server.lines().cmdListen_Click();
        Winsock *listener = server.lines().socket(0);
        port = listener ? listener->LocalPort() : 0;
        return port != 0;
    }

    // A connected client whose row is in the table (selected, as every new one).
    ProtocolClient &connect()
    {
        clients.push_back(std::make_unique<ProtocolClient>());
        ProtocolClient &c = *clients.back();
        const int rows = server.table().rowCount();
        if (!c.connectToServer(port) || !c.waitUntil([&] { return server.table().rowCount() > rows; }))
            qWarning("client not accepted");
        return c;
    }

    // The line the server gave this client.
    qint16 lineOf(ProtocolClient &c)
    {
        const QString remotePort = QString::number(c.socket().localPort());
        for (int row = 0; row < server.table().rowCount(); ++row) {
            if (server.table().cell(row, 3) == remotePort && server.table().cell(row, 4) == QLatin1String("In"))
                return server.table().lineOfRow(row);
        }
        return -1;
    }

    void select(const QList<qint16> &lines)
    {
        QItemSelectionModel *sel = server.table().selectionModel();
        sel->clearSelection();
        for (qint16 line : lines) {
            const int row = server.table().rowOfLine(line);
            sel->select(server.table().model()->index(row, 0),
                        QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
    }

    // Sends one message as one arrival: waits until the server has logged it.
    bool sendOne(ProtocolClient &c, const QByteArray &text)
    {
        const int before = arrivals;
        c.send(text);
        return c.waitUntil([&] { return arrivals > before; });
    }

    // Nothing was sent to c that it has not taken: the answer to a "SYNC "
    // is the very next byte.
    bool nothingPending(ProtocolClient &c)
    {
        if (c.available() != 0)
            return false;
        if (!sendOne(c, "SYNC \r\n"))
            return false;
        return c.readExactly(1) == "!" && c.available() == 0;
    }

    int count(const QString &entry) const { return int(entries.count(entry + QStringLiteral("\r\n"))); }
    int countStarting(const QString &prefix) const
    {
        int n = 0;
        for (const QString &e : entries)
            n += e.startsWith(prefix) ? 1 : 0;
        return n;
    }

    QTemporaryDir music{tempTemplate()};
    QStringList entries;
    int arrivals = 0;
    Server server;
    quint16 port = 0;
    std::vector<std::unique_ptr<ProtocolClient>> clients;
};

} // namespace

class TestProtocol : public QObject {
    Q_OBJECT

private slots:
    // --- wire formats ---------------------------------------------------------
    void fileHeader_data();
    void fileHeader();
    void fileHeaderRefusesSizesThatDoNotFit();
    void lengthReply_data();
    void lengthReply();
    void readNumber_data();
    void readNumber();
    void songNumberFromValueRejectsWhatDoesNotFit();
    void songFileReadsPiecesAndNoticesAShorterFile();

    // --- whole server on loopback ---------------------------------------------
    void repliesAreByteExact();
    void emptyCatalogue();
    void nameThatIsNotUtf8IsServed();
    void messagesWithoutReply_data();
    void messagesWithoutReply();
    void arrivalIsLoggedAndShown();
    void splitAndMergedMessages();
    void commandsHeldDuringSongAreAnsweredOnePerArrival();
    void headerToEverySelectedLineSongToTheLastOne();
    void noSelectedRow();
    void closingTheTargetEndsTheStream_data();
    void closingTheTargetEndsTheStream();
    void transferCellsDuringAndAfterSong();

    // --- mended faults --------------------------------------------------------
    void songNumbersBeyond16Bits();
    void songsTooLargeForTheHeader();
    void readyWithNothingToSend();
    void nestedRunDoesNotSeeTheWaitingMessage();
    void nestedSongDoesNotChangeTheOuterLogLine();
    void syncDuringListStreamGoesBetweenPieces();
    void reloadDuringListStreamKeepsTheRequestedList();
    void streamEndsWhenItsLineIsClaimedAgain();
    void headerPathComesFromTheCatalogue();
    void lookupDuringScanAnswersFromTheOfferedCatalogue();
    void receiveBufferIsBounded();
    void streamStopsWhenTheServerExits();
};

void TestProtocol::fileHeader_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("expected");

    auto header = [](const QByteArray &front) {
        QByteArray h = front;
        return h + spaces(4096 - h.size());
    };
    QTest::newRow("root, empty song") << qint64(0) << QByteArray("a.mp3")
                                      << header(QByteArray("FILE 0        a.mp3") + '\0');
    QTest::newRow("subfolder, one piece") << qint64(4096) << QByteArray("Rock\\b.mp3")
                                          << header(QByteArray("FILE 4096     Rock\\b.mp3") + '\0');
    QTest::newRow("two pieces") << qint64(4097) << QByteArray("x\\y\\z.mp3")
                                << header(QByteArray("FILE 4097     x\\y\\z.mp3") + '\0');
    QTest::newRow("eight digits") << qint64(99'999'999) << QByteArray("big.mp3")
                                  << header(QByteArray("FILE 99999999 big.mp3") + '\0');
    QTest::newRow("empty path") << qint64(7) << QByteArray()
                                << header(QByteArray("FILE 7        ") + '\0');

    // 4081 path bytes leave the NUL as the very last byte.
    const QByteArray fits(4081, 'p');
    QTest::newRow("path with NUL at 4095") << qint64(1) << fits
                                           << QByteArray("FILE 1        ") + fits + '\0';
    // One more and the NUL falls away; longer paths are cut at offset 4095.
    const QByteArray full(4082, 'q');
    QTest::newRow("path fills the header") << qint64(1) << full << QByteArray("FILE 1        ") + full;
    const QByteArray tooLong = QByteArray(4082, 'r') + "tail";
    QTest::newRow("path cut at 4095") << qint64(1) << tooLong
                                      << QByteArray("FILE 1        ") + QByteArray(4082, 'r');
    // Bytes of a UTF-8 name go as they are.
    QTest::newRow("utf-8 name") << qint64(12) << QByteArray("Caf\xc3\xa9\\\xe2\x99\xab.mp3")
                                << header(QByteArray("FILE 12       Caf\xc3\xa9\\\xe2\x99\xab.mp3") + '\0');
}

void TestProtocol::fileHeader()
{
    QFETCH(qint64, size);
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, expected);
    const std::optional<QByteArray> header = Wire::fileHeader(size, path);
    QVERIFY(header.has_value());
    QCOMPARE(header->size(), Wire::kFileHeaderSize);
    QCOMPARE(*header, expected);
    QCOMPARE(Wire::headerSizeField(size), expected.mid(5, 8));
}

void TestProtocol::fileHeaderRefusesSizesThatDoNotFit()
{
    for (qint64 size : {qint64(100'000'000), qint64(123'456'789), qint64(5'000'000'000), qint64(-1),
                        std::numeric_limits<qint64>::max()}) {
        QVERIFY2(!Wire::fileHeader(size, "a.mp3").has_value(), qPrintable(QString::number(size)));
        QVERIFY(Wire::headerSizeField(size).isEmpty());
    }
}

void TestProtocol::lengthReply_data()
{
    QTest::addColumn<qint64>("length");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("no list") << qint64(0) << QByteArray("0") + '\0' + spaces(8);
    QTest::newRow("950") << qint64(950) << QByteArray("950") + '\0' + spaces(6);
    QTest::newRow("one piece") << qint64(4096) << QByteArray("4096") + '\0' + spaces(5);
    QTest::newRow("95,000 songs") << qint64(3'512'345) << QByteArray("3512345") + '\0' + spaces(2);
    QTest::newRow("nine digits keep the NUL") << qint64(123'456'789) << QByteArray("123456789") + '\0';
    QTest::newRow("ten digits fill it") << qint64(1'234'567'890) << QByteArray("1234567890");
    QTest::newRow("eleven digits are cut") << qint64(12'345'678'901) << QByteArray("1234567890");
}

void TestProtocol::lengthReply()
{
    QFETCH(qint64, length);
    QFETCH(QByteArray, expected);
    const QByteArray reply = Wire::lengthReply(length);
    QCOMPARE(reply.size(), Wire::kLengthReplySize);
    QCOMPARE(reply, expected);
}

void TestProtocol::readNumber_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("selects");
    QTest::addColumn<qint64>("number");

    auto row = [](const char *name, const QByteArray &text, qint64 number) {
        QTest::newRow(name) << text << true << number;
    };
    auto none = [](const char *name, const QByteArray &text) {
        QTest::newRow(name) << text << false << qint64(0);
    };

    row("plain", "12\r\n", 12);
    row("blanks inside", "1 2\r\n", 12);
    row("tab and line feed anywhere", " \t\n1\t2\n3\r\n", 123);
    row("blanks in the exponent", "1 E 2\r\n", 100);
    row("plus", "+5\r\n", 5);
    row("minus", "-3\r\n", -3);
    row("blank after sign", "- 3\r\n", -3);
    row("stops at the first other character", "7abc\r\n", 7);
    row("stops at CR", "7\r\n8", 7);
    row("beyond 16 bits", "40000\r\n", 40000);
    row("largest 32-bit", "2147483647", 2147483647);
    row("smallest 32-bit", "-2147483648", -2147483647LL - 1);
    row("no digits", "\r\n", 0);
    row("empty", "", 0);
    row("letters", "abc", 0);
    row("point only", ".\r\n", 0);
    row("sign only", "-\r\n", 0);
    row("exponent without mantissa", "E5", 0);
    row("trailing point", "7.\r\n", 7);
    row("fraction only", ".75", 1);
    row("half to even, down", "2.5", 2);
    row("half to even, up", "3.5", 4);
    row("half of zero", "0.5", 0);
    row("one and a half", "1.5", 2);
    row("negative half", "-2.5", -2);
    row("negative odd half", "-3.5", -4);
    row("below half", "12.4999", 12);
    row("above half", "12.5001", 13);
    row("exponent E", "1E2", 100);
    row("exponent lower e", "1e2", 100);
    row("exponent D", "1D2", 100);
    row("exponent sign", "1E+2", 100);
    row("negative exponent", "15E-1", 2);
    row("negative exponent, even", "25E-1", 2);
    row("exponent mark without digits", "7E\r\n", 7);
    row("tiny", "1E-999", 0);
    row("hex", "&H1F\r\n", 31);
    row("hex lower case", "&h1f", 31);
    row("hex with blanks", "& H 1 F", 31);
    row("octal", "&O17\r\n", 15);
    row("octal stops at 8", "&O78", 7);
    row("hex prefix only", "&H\r\n", 0);
    row("unknown prefix", "&X5", 0);
    row("negative hex", "-&H10", -16);
    row("long mantissa", QByteArray(400, '0') + "42", 42);

    none("huge exponent", "1E999");
    none("negative huge exponent", "-1E999");
    none("just past 32 bits", "2147483648");
    none("just below 32 bits", "-2147483649");
    none("rounds past 32 bits", "2147483647.5");
    none("twenty digits", "99999999999999999999");
    none("hex past 32 bits", "&HFFFFFFFF");
    none("hex beyond double", "&H" + QByteArray(300, 'F'));
    none("exponent with many digits", "1E" + QByteArray(50, '9'));
}

void TestProtocol::readNumber()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, selects);
    QFETCH(qint64, number);
    const std::optional<qint32> song = Wire::songNumberFromValue(Wire::readNumber(text));
    QCOMPARE(song.has_value(), selects);
    if (selects)
        QCOMPARE(qint64(*song), number);
}

void TestProtocol::songNumberFromValueRejectsWhatDoesNotFit()
{
    const double inf = std::numeric_limits<double>::infinity();
    for (double v : {inf, -inf, std::nan(""), 1e300, -1e300, 2147483648.0, -2147483649.0})
        QVERIFY2(!Wire::songNumberFromValue(v).has_value(), qPrintable(QString::number(v)));
    QCOMPARE(Wire::songNumberFromValue(2147483647.4), std::optional<qint32>(2147483647));
    QCOMPARE(Wire::songNumberFromValue(-2147483648.4), std::optional<qint32>(-2147483647 - 1));
    QCOMPARE(Wire::songNumberFromValue(-0.0), std::optional<qint32>(0));
}

void TestProtocol::songFileReadsPiecesAndNoticesAShorterFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // A name that is not UTF-8: the file is still found by its raw bytes.
    const QByteArray path = QFile::encodeName(dir.path()) + "/song\xff\xfe.mp3";
    const QByteArray data = songBytes(3 * 4096 + 5, 1);
    {
        std::FILE *f = std::fopen(path.constData(), "wb");
        QVERIFY(f);
        QCOMPARE(std::fwrite(data.constData(), 1, size_t(data.size()), f), size_t(data.size()));
        std::fclose(f);
    }
    QString error;
    QCOMPARE(songFileSize(path, &error), qint64(data.size()));

    SongFile file;
    QVERIFY2(file.open(path, &error), qPrintable(error));
    QCOMPARE(file.size(), qint64(data.size()));
    QByteArray got;
    char piece[4096];
    for (qint64 left = file.size(); left > 0;) {
        const qint64 n = qMin<qint64>(4096, left);
        QVERIFY(file.read(piece, n));
        got.append(piece, n);
        left -= n;
    }
    QCOMPARE(got, data);
    QVERIFY(!file.read(piece, 1)); // nothing beyond the end
    file.close();

    // Truncated after the open: the read that cannot be filled says so.
    QVERIFY(file.open(path, &error));
    std::filesystem::resize_file(songFsPath(path), 4096);
    QVERIFY(file.read(piece, 4096));
    QVERIFY(!file.read(piece, 4096));
    file.close();

    // What cannot be opened says why and leaves nothing open.
    for (const QByteArray &bad : {QByteArray(), path + ".missing", QFile::encodeName(dir.path())}) {
        error.clear();
        QVERIFY(!file.open(bad, &error));
        QVERIFY(!error.isEmpty());
        QVERIFY(!file.read(piece, 1));
    }
    QCOMPARE(songFileSize(path + ".missing", &error), qint64(-1));
    QCOMPARE(songFileSize(QFile::encodeName(dir.path()), &error), qint64(-1));
    // QTemporaryDir cannot spell this name to remove it.
    std::filesystem::remove(songFsPath(path));
}

// --- whole server on loopback -------------------------------------------------

namespace {
// Tests that hold the send gate shut open it on a condition; should that
// never come (the fault they look for), this opens it so that the test fails
// on its checks instead of waiting for ever.
void openGateEventually(Server &server)
{
    QTimer::singleShot(ProtocolClient::kDefaultTimeoutMs / 2, &server,
                       [&server] { server.lines().setLineBusy(0, false); });
}

QByteArray header(const QByteArray &front)
{
    const QByteArray h = front + '\0';
    return h + spaces(4096 - h.size());
}
} // namespace

void TestProtocol::repliesAreByteExact()
{
    Rig rig;
    const QByteArray empty = rig.addSong("a.mp3", 0, 1);
    const QByteArray onePiece = rig.addSong("Rock/b.mp3", 4096, 2);
    const QByteArray twoPieces = rig.addSong("Rock/Sub/c.mp3", 4097, 3);
    QVERIFY(rig.start());
    const QByteArray list = "\\a.mp3\r\n\\Rock\\b.mp3\r\n\\Rock\\Sub\\c.mp3\r\n";
    QCOMPARE(rig.server.catalogue().mFilelist(), list);
    ProtocolClient &c = rig.connect();

    QVERIFY(rig.sendOne(c, "SLLEN\r\n"));
    QCOMPARE(c.readExactly(10), QByteArray("38") + '\0' + spaces(7));
    QVERIFY(rig.sendOne(c, "SLIST\r\n"));
    QCOMPARE(c.readExactly(list.size()), list);
    QCOMPARE(rig.count("Sending Filelist"), 1);
    QCOMPARE(rig.count("Sending Song List (38 bytes)"), 1);
    QCOMPARE(rig.server.interpreter().TransferState, qint16(0));

    struct Song {
        QByteArray request;
        QByteArray header;
        QByteArray data;
        QString path;
        QString sizeField;
    };
    const Song songs[] = {
        {"SONG 1\r\n", header("FILE 0        a.mp3"), empty, rig.songPath("a.mp3"), "0       "},
        {"SONG 2\r\n", header("FILE 4096     Rock\\b.mp3"), onePiece, rig.songPath("Rock/b.mp3"), "4096    "},
        {"SONG 3\r\n", header("FILE 4097     Rock\\Sub\\c.mp3"), twoPieces, rig.songPath("Rock/Sub/c.mp3"),
         "4097    "},
    };
    for (const Song &song : songs) {
        QVERIFY(rig.sendOne(c, song.request));
        QCOMPARE(c.readExactly(4096), song.header);
        QCOMPARE(rig.server.interpreter().TransferState, qint16(1));
        QCOMPARE(rig.count("FILE " + song.sizeField + " " + song.path + "\r\n"), 1);
        QVERIFY(rig.sendOne(c, "READY\r\n"));
        QCOMPARE(c.readExactly(song.data.size()), song.data);
        QCOMPARE(rig.count("Sending Song " + song.path + ".\r\n"), 1);
        QCOMPARE(rig.server.interpreter().TransferState, qint16(0));
        QVERIFY(rig.nothingPending(c));
    }
    // A second "READY" without a new request sends the same song again.
    QVERIFY(rig.sendOne(c, "READY\r\n"));
    QCOMPARE(c.readExactly(twoPieces.size()), twoPieces);
    QVERIFY(rig.nothingPending(c));
    QCOMPARE(rig.countStarting("Corrupt message received"), 0);
    QCOMPARE(rig.server.interpreter().mCmdBuffer, QByteArray());
}

void TestProtocol::emptyCatalogue()
{
    Rig rig;
    QVERIFY(rig.start());
    ProtocolClient &c = rig.connect();
    QVERIFY(rig.sendOne(c, "SLLEN\r\n"));
    QCOMPARE(c.readExactly(10), QByteArray("0") + '\0' + spaces(8));
    QVERIFY(rig.sendOne(c, "SLIST\r\n"));
    QCOMPARE(rig.count("Sending Song List (0 bytes)"), 1);
    QVERIFY(rig.nothingPending(c));
    QCOMPARE(rig.countStarting(Interpreter::noSelectionText()), 0);
}

void TestProtocol::nameThatIsNotUtf8IsServed()
{
    Rig rig;
    const QByteArray name = "Caf\xe9 \xff.mp3"; // Latin-1 bytes, not UTF-8
    const QByteArray path = QFile::encodeName(rig.music.path()) + "/" + name;
    const QByteArray data = songBytes(5000, 8);
    std::FILE *f = std::fopen(path.constData(), "wb");
    QVERIFY(f);
    QCOMPARE(std::fwrite(data.constData(), 1, size_t(data.size()), f), size_t(data.size()));
    std::fclose(f);
    QVERIFY(rig.start());
    QCOMPARE(rig.server.catalogue().mFilelist(), "\\" + name + "\r\n");
    ProtocolClient &c = rig.connect();
    QVERIFY(rig.sendOne(c, "SONG 1\r\n"));
    QCOMPARE(c.readExactly(4096), *Wire::fileHeader(data.size(), name));
    QVERIFY(rig.sendOne(c, "READY\r\n"));
    QCOMPARE(c.readExactly(data.size()), data);
    QVERIFY(rig.nothingPending(c));
    std::remove(path.constData()); // QTemporaryDir cannot spell it
}

void TestProtocol::messagesWithoutReply_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QString>("logged");
    QTest::addColumn<int>("state");

    QTest::newRow("NOOP") << QByteArray("NOOP \r\n") << QStringLiteral("NOOP Received\r\n") << 0;
    QTest::newRow("NOOP with text") << QByteArray("NOOP whatever\r\n") << QStringLiteral("NOOP Received\r\n") << 0;
    QTest::newRow("SIZE") << QByteArray("SIZE 1234\r\n") << QStringLiteral("Sent SIZE-R Byte\r\n") << 0;
    QTest::newRow("RECV") << QByteArray("RECV 1\r\n") << QString() << 0;
    QTest::newRow("SKIP") << QByteArray("SKIP \r\n") << QString() << 0;
    QTest::newRow("lower case") << QByteArray("sync \r\n") << QString() << 0;
    QTest::newRow("unknown") << QByteArray("HELLO\r\n") << QString() << 0;
    QTest::newRow("song 0") << QByteArray("SONG 0\r\n") << QString() << 1;
    QTest::newRow("negative song") << QByteArray("SONG -1\r\n") << QString() << 1;
    QTest::newRow("song past the end") << QByteArray("SONG 3\r\n") << QString() << 1;
    // 65537 wraps to song 1 in 16 bits; read in full it is no song.
    QTest::newRow("song wrapping 16 bits") << QByteArray("SONG 65537\r\n") << QString() << 1;
    QTest::newRow("song 1E999") << QByteArray("SONG 1E999\r\n") << QString() << 1;
    QTest::newRow("song without digits") << QByteArray("SONG x\r\n") << QString() << 1;
}

void TestProtocol::messagesWithoutReply()
{
    QFETCH(QByteArray, message);
    QFETCH(QString, logged);
    QFETCH(int, state);
    Rig rig;
    rig.addSong("a.mp3", 10);
    rig.addSong("b.mp3", 10);
    QVERIFY(rig.start());
    ProtocolClient &c = rig.connect();
    QVERIFY(rig.sendOne(c, message));
    QCOMPARE(int(rig.server.interpreter().TransferState), state);
    if (!logged.isEmpty())
        QCOMPARE(rig.count(logged), 1);
    QVERIFY(rig.nothingPending(c));
    QCOMPARE(rig.countStarting("Corrupt message received"), 0);
    QCOMPARE(rig.countStarting("FILE "), 0);
}

void TestProtocol::arrivalIsLoggedAndShown()
{
    Rig rig;
    QVERIFY(rig.start());
    ProtocolClient &c = rig.connect();
    const QString who = Wire::signPadded(rig.lineOf(c)) + " - 127.0.0.1";
    QVERIFY(rig.sendOne(c, "SYNC \r\n"));
    QCOMPARE(c.readExactly(1), QByteArray("!"));
    QCOMPARE(rig.count(who + " - Recv=7 bytes"), 1);
    QCOMPARE(rig.count(who + " - msg=[SYNC \r\n]"), 1);
    const QString &incoming = rig.server.log().incomingPane().text();
    QCOMPARE(incoming, QStringLiteral("\r\n-->127.0.0.1 - 7 bytes: \r\n\r\nSYNC \r\n"));

    // Hidden system messages: the text alone.
    rig.server.setHideSystemMessages(true);
    QVERIFY(rig.sendOne(c, "NOOP \r\n"));
    QVERIFY(c.waitUntil([&] { return incoming.endsWith(QLatin1String("SYNC \r\nNOOP \r\n")); }));

    // The receive buffer holds bytes: a multi-byte character is counted as
    // its bytes and shown as the character.
    rig.server.setHideSystemMessages(false);
    QVERIFY(rig.sendOne(c, "NOOP \xc3\xa9\r\n"));
    QVERIFY(c.waitUntil([&] { return incoming.endsWith(QString::fromUtf8("9 bytes: \r\n\r\nNOOP \xc3\xa9\r\n")); }));
    QCOMPARE(rig.count(who + " - Recv=9 bytes"), 1);
}

void TestProtocol::splitAndMergedMessages()
{
    Rig rig;
    rig.addSong("a.mp3", 5, 1);
    const QByteArray b = rig.addSong("b.mp3", 6, 2);
    QVERIFY(rig.start());
    const QByteArray list = rig.server.catalogue().mFilelist();
    ProtocolClient &c = rig.connect();
    Interpreter &in = rig.server.interpreter();

    // Two messages in one arrival: the first is answered, the second held.
    QVERIFY(rig.sendOne(c, "SLLEN\r\nSLIST\r\n"));
    QCOMPARE(c.readExactly(10), Wire::lengthReply(list.size()));
    QCOMPARE(rig.count("Corrupt message received\r\nSLIST\r\n"), 1);
    QCOMPARE(in.mCmdBuffer, QByteArray("SLIST\r\n"));
    QCOMPARE(c.available(), 0);
    // ... and answered at the next arrival, whatever that brings.
    QVERIFY(rig.sendOne(c, "RECV \r\n"));
    QCOMPARE(c.readExactly(list.size()), list);
    QCOMPARE(rig.count("Corrupt message received\r\nRECV \r\n"), 1);
    QVERIFY(rig.sendOne(c, "X"));   // RECV interpreted, "X" held
    QCOMPARE(in.mCmdBuffer, QByteArray("X"));
    QVERIFY(rig.sendOne(c, "\r\n")); // too short to read: held
    QCOMPARE(in.mCmdBuffer, QByteArray("X\r\n"));
    QVERIFY(rig.sendOne(c, "NOOP\r\n")); // "X\r\nNOOP\r\n": unknown, consumed, rest held
    QCOMPARE(in.mCmdBuffer, QByteArray("NOOP\r\n"));
    QVERIFY(rig.sendOne(c, "\r\n")); // "NOOP\r\n\r\n": unknown, rest is a lone CR LF
    QCOMPARE(in.mCmdBuffer, QByteArray("\r\n"));
    QVERIFY(rig.sendOne(c, "SYNC \r\n")); // "\r\nSYNC \r\n": unknown keyword, consumed
    QCOMPARE(in.mCmdBuffer, QByteArray("SYNC \r\n"));
    QVERIFY(rig.sendOne(c, "RECV \r\n")); // SYNC answered
    QCOMPARE(c.readExactly(1), QByteArray("!"));
    QCOMPARE(in.mCmdBuffer, QByteArray("RECV \r\n"));
    // Whole messages keep the buffer one behind; a fragment brings it back
    // in step (and swallows the message it joins).
    QVERIFY(rig.sendOne(c, "ab"));
    QCOMPARE(in.mCmdBuffer, QByteArray("ab"));
    QVERIFY(rig.sendOne(c, "SYNC \r\n"));
    QCOMPARE(in.mCmdBuffer, QByteArray());
    QCOMPARE(rig.countStarting("Corrupt message received"), 8);
    QVERIFY(rig.nothingPending(c));

    // A request split before its CR LF: asked for at once, its first letter
    // dropped, the rest read as a message of its own later.
    QVERIFY(rig.sendOne(c, "SONG 02"));
    QCOMPARE(c.readExactly(4096), *Wire::fileHeader(6, "b.mp3"));
    QCOMPARE(rig.count("Corrupt message received\r\nONG 02"), 1);
    QVERIFY(rig.sendOne(c, "\r\n"));
    QCOMPARE(in.mCmdBuffer, QByteArray());
    QCOMPARE(rig.countStarting("Corrupt message received"), 9);
    QVERIFY(rig.nothingPending(c));

    // "SYNC" without its space is six characters: held until more comes.
    QVERIFY(rig.sendOne(c, "SYNC\r\n"));
    QCOMPARE(in.mCmdBuffer, QByteArray("SYNC\r\n"));
    QVERIFY(rig.sendOne(c, "READY\r\n")); // "SYNC\r" is no keyword; READY held
    QCOMPARE(in.mCmdBuffer, QByteArray("READY\r\n"));
    QCOMPARE(c.available(), 0);
    QVERIFY(rig.sendOne(c, "RECV \r\n")); // READY: song 2 again
    QCOMPARE(c.readExactly(b.size()), b);
    QVERIFY(rig.sendOne(c, "ab"));
    QVERIFY(rig.sendOne(c, "SYNC \r\n"));
    QCOMPARE(in.mCmdBuffer, QByteArray());
    QVERIFY(rig.nothingPending(c));

    // Text from two lines joins in the one buffer, in order of arrival; the
    // reply goes to both selected lines.
    ProtocolClient &d = rig.connect();
    QVERIFY(rig.sendOne(c, "SY"));
    QVERIFY(rig.sendOne(d, "NC \r\n"));
    QCOMPARE(c.readExactly(1), QByteArray("!"));
    QCOMPARE(d.readExactly(1), QByteArray("!"));
    QCOMPARE(in.mCmdBuffer, QByteArray());
}

void TestProtocol::commandsHeldDuringSongAreAnsweredOnePerArrival()
{
    Rig rig;
    const QByteArray song = rig.addSong("long.mp3", 8 << 20, 7);
    QVERIFY(rig.start());
    ProtocolClient &c = rig.connect();
    ProtocolClient &other = rig.connect(); // both selected; the song goes to `other`
    Interpreter &in = rig.server.interpreter();

    QVERIFY(rig.sendOne(c, "SONG 1\r\n"));
    QCOMPARE(c.readExactly(4096).left(5), QByteArray("FILE "));
    QCOMPARE(other.readExactly(4096).left(5), QByteArray("FILE "));

    // Two commands from the other line while the song streams, each its own
    // arrival; note the state each one met.
    QList<int> statesAtArrival;
    QObject::connect(&rig.server.log().logPane(), &MessagePane::appended, &rig.server,
                     [&](const QString &e) {
                         if (e.contains(QLatin1String("msg=[SYNC")) || e.contains(QLatin1String("msg=[SLLEN")))
                             statesAtArrival << in.TransferState;
                     });
    // The second is sent once the first has been logged, so that they
    // arrive apart.
    other.whenReceived(4096 + 64 * 1024, [&] { c.send("SYNC \r\n"); });
    QObject::connect(&rig.server.log().logPane(), &MessagePane::appended, &rig.server,
                     [&](const QString &e) {
                         if (e.contains(QLatin1String("msg=[SYNC")))
                             QTimer::singleShot(0, &rig.server, [&] { c.send("SLLEN\r\n"); });
                     });
    QVERIFY(rig.sendOne(c, "READY\r\n"));
    QCOMPARE(other.readExactly(song.size()), song);
    QVERIFY(c.waitUntil([&] { return in.TransferState == 0; }));
    QCOMPARE(statesAtArrival, QList<int>({2, 2}));
    QCOMPARE(c.available(), 0);
    // Both were shown at once and are held; READY's consumption reports them.
    QCOMPARE(in.mCmdBuffer, QByteArray("SYNC \r\nSLLEN\r\n"));
    QCOMPARE(rig.count("Corrupt message received\r\nSYNC \r\nSLLEN\r\n"), 1);

    // One held message per later arrival, on any line.
    QVERIFY(rig.sendOne(other, "RECV \r\n"));
    QCOMPARE(c.readExactly(1), QByteArray("!"));
    QCOMPARE(other.readExactly(1), QByteArray("!"));
    QVERIFY(rig.sendOne(c, "RECV \r\n"));
    QCOMPARE(c.readExactly(10), Wire::lengthReply(rig.server.catalogue().mFilelist().size()));
    QCOMPARE(other.readExactly(10), Wire::lengthReply(rig.server.catalogue().mFilelist().size()));
    QCOMPARE(in.mCmdBuffer, QByteArray("RECV \r\nRECV \r\n"));
    QCOMPARE(c.available(), 0);
    QCOMPARE(other.available(), 0);
}

void TestProtocol::headerToEverySelectedLineSongToTheLastOne()
{
    Rig rig;
    const QByteArray song = rig.addSong("x.mp3", 3 * 4096 + 1, 9);
    QVERIFY(rig.start());
    ProtocolClient &older = rig.connect();
    ProtocolClient &newer = rig.connect();
    QCOMPARE(rig.server.table().selectedLines(), QList<qint16>({rig.lineOf(older), rig.lineOf(newer)}));

    QVERIFY(rig.sendOne(older, "SONG 1\r\n"));
    const QByteArray expected = *Wire::fileHeader(song.size(), "x.mp3");
    QCOMPARE(older.readExactly(4096), expected);
    QCOMPARE(newer.readExactly(4096), expected);
    QVERIFY(rig.sendOne(older, "READY\r\n"));
    QCOMPARE(newer.readExactly(song.size()), song);
    QVERIFY(rig.nothingPending(newer));
    QCOMPARE(older.readExactly(1), QByteArray("!")); // the sync went to both; no song before it
    QCOMPARE(older.available(), 0);

    // The asker does not matter, the selection does: with only the older
    // row selected, the newer client's requests are answered to the older.
    rig.select({rig.lineOf(older)});
    QVERIFY(rig.sendOne(newer, "SLLEN\r\n"));
    QCOMPARE(older.readExactly(10), Wire::lengthReply(rig.server.catalogue().mFilelist().size()));
    QVERIFY(rig.sendOne(newer, "READY\r\n"));
    QCOMPARE(older.readExactly(song.size()), song);
    QCOMPARE(newer.available(), 0);

    // Rows 4 above 9: replies in table order, streams to the lower row.
    rig.select({rig.lineOf(newer), rig.lineOf(older)});
    QVERIFY(rig.sendOne(newer, "SLIST\r\n"));
    QCOMPARE(newer.readExactly(rig.server.catalogue().mFilelist().size()), rig.server.catalogue().mFilelist());
    QVERIFY(rig.nothingPending(newer));
    QCOMPARE(older.readExactly(1), QByteArray("!"));
    QCOMPARE(older.available(), 0);
}

void TestProtocol::noSelectedRow()
{
    Rig rig;
    rig.addSong("x.mp3", 100, 1);
    QVERIFY(rig.start());
    ProtocolClient &c = rig.connect();
    QVERIFY(rig.sendOne(c, "SONG 1\r\n"));
    QCOMPARE(c.readExactly(4096).left(5), QByteArray("FILE "));
    rig.select({});

    // Headless: the box's text is logged, and nothing is sent.
    QVERIFY(rig.sendOne(c, "SYNC \r\n"));
    QVERIFY(c.waitUntil([&] { return rig.count(Interpreter::noSelectionText()) == 1; }));
    QVERIFY(rig.sendOne(c, "SLIST\r\n"));
    QVERIFY(c.waitUntil([&] { return rig.count(Interpreter::noSelectionText()) == 2; }));
    QCOMPARE(rig.count("Sending Song List (8 bytes)"), 1);
    QVERIFY(rig.sendOne(c, "READY\r\n"));
    QVERIFY(c.waitUntil([&] { return rig.count(Interpreter::noSelectionText()) == 3; }));
    QCOMPARE(rig.count("Sending Song " + rig.songPath("x.mp3") + ".\r\n"), 1);
    QCOMPARE(rig.server.interpreter().TransferState, qint16(0));

    // A presenter that is there: shown once, with the server still serving
    // while it is open; a second occasion meanwhile is logged instead.
    int shown = 0;
    rig.server.setInformationPresenter([&](const QString &text) {
        QCOMPARE(text, Interpreter::noSelectionText());
        ++shown;
        const int before = rig.count(Interpreter::noSelectionText());
        c.send("SYNC \r\n");
        QVERIFY(c.waitUntil([&] { return rig.count(Interpreter::noSelectionText()) > before; }));
    });
    QVERIFY(rig.sendOne(c, "SYNC \r\n"));
    QVERIFY(c.waitUntil([&] { return shown == 1 && rig.count(Interpreter::noSelectionText()) == 4; }));
    rig.server.setInformationPresenter({});
    QCOMPARE(c.available(), 0);

    // The listener's row selected with a client's: the client is answered,
    // the hand-over to the listener fails and is logged.
    rig.select({0, rig.lineOf(c)});
    QVERIFY(rig.sendOne(c, "SYNC \r\n"));
    QCOMPARE(c.readExactly(1), QByteArray("!"));
    QVERIFY(rig.countStarting("Error sending msg to winsock # 0") >= 1);
}

void TestProtocol::closingTheTargetEndsTheStream_data()
{
    QTest::addColumn<bool>("byOperator");
    QTest::newRow("client closes") << false;
    QTest::newRow("operator closes") << true;
}

void TestProtocol::closingTheTargetEndsTheStream()
{
    QFETCH(bool, byOperator);
    Rig rig;
    const QByteArray song = rig.addSong("long.mp3", 4 << 20, 3);
    QVERIFY(rig.start());
    ProtocolClient &watcher = rig.connect();
    ProtocolClient &target = rig.connect();
    const qint16 line = rig.lineOf(target);
    QVERIFY(rig.sendOne(watcher, "SONG 1\r\n"));
    QCOMPARE(target.readExactly(4096).left(5), QByteArray("FILE "));
    QCOMPARE(watcher.readExactly(4096).left(5), QByteArray("FILE "));

    target.whenReceived(4096 + 256 * 1024, [&] {
        if (byOperator) {
            rig.select({line});
            rig.server.lines().cmdClose_Click();
        } else {
            target.close();
        }
    });
    QVERIFY(rig.sendOne(watcher, "READY\r\n"));
    Interpreter &in = rig.server.interpreter();
    QVERIFY(watcher.waitUntil([&] { return in.TransferState == 0 && !rig.server.lines().lineInUse(line); }));
    QVERIFY(target.totalReceived() < 4096 + song.size());
    QCOMPARE(watcher.available(), 0);
    // The arrival that started the stream is shown with the address taken
    // before the stream, though its line is gone by now.
    QVERIFY(rig.server.log().incomingPane().text().contains(QLatin1String("-->127.0.0.1 - 7 bytes: \r\n\r\nREADY\r\n")));

    // Commands are interpreted again.
    rig.select({rig.lineOf(watcher)});
    QVERIFY(rig.nothingPending(watcher));
}

void TestProtocol::transferCellsDuringAndAfterSong()
{
    Rig rig;
    const QByteArray song = rig.addSong("s.mp3", 64 * 4096 + 100, 4);
    QVERIFY(rig.start());
    ProtocolClient &c = rig.connect();
    const qint16 line = rig.lineOf(c);
    ConnectionTable &table = rig.server.table();
    QCOMPARE(table.cell(table.rowOfLine(line), 5), QStringLiteral("N/A"));

    QStringList sentCells;
    QObject::connect(table.model(), &QAbstractItemModel::dataChanged, &rig.server,
                     [&](const QModelIndex &from, const QModelIndex &to) {
                         const int row = table.rowOfLine(line);
                         if (row >= from.row() && row <= to.row() && from.column() <= 5 && to.column() >= 5
                             && rig.server.interpreter().TransferState == 2)
                             sentCells << table.cell(row, 5);
                     });
    QVERIFY(rig.sendOne(c, "SONG 1\r\n"));
    QCOMPARE(c.readExactly(4096).size(), 4096);
    QVERIFY(rig.sendOne(c, "READY\r\n"));
    QCOMPARE(c.readExactly(song.size()), song);
    QVERIFY(c.waitUntil([&] { return rig.server.interpreter().TransferState == 0; }));

    // During the song the cell counts within one piece and shows "All" after
    // every piece.
    QVERIFY(!sentCells.isEmpty());
    int completes = 0;
    for (const QString &cell : sentCells) {
        if (cell == QLatin1String("All")) {
            ++completes;
            continue;
        }
        QVERIFY2(cell.startsWith(QLatin1Char(' ')), qPrintable(cell));
        bool ok = false;
        const int n = cell.mid(1).toInt(&ok);
        QVERIFY2(ok && n >= 0 && n <= 4096, qPrintable(cell));
    }
    QVERIFY(completes >= 60);
    QVERIFY(c.waitUntil([&] {
        const int row = table.rowOfLine(line);
        return table.cell(row, 5) == QLatin1String("All") && table.cell(row, 6) == QLatin1String("None");
    }));
    QVERIFY(!rig.server.lines().lineBusy(line));
}

// --- mended faults ------------------------------------------------------------

void TestProtocol::songNumbersBeyond16Bits()
{
    Rig rig;
    // 32,770 songs: the last ones are out of reach of a 16-bit number.
    constexpr int kSongs = 32770;
    for (int folder = 0; folder < 33; ++folder) {
        const QString dir = rig.songPath(QStringLiteral("f%1").arg(folder, 2, 10, QLatin1Char('0')));
        QVERIFY(QDir().mkpath(dir));
        for (int i = 0; i < 1000 && folder * 1000 + i < kSongs; ++i) {
            QFile f(dir + QStringLiteral("/s%1.mp3").arg(i, 3, 10, QLatin1Char('0')));
            QVERIFY(f.open(QIODevice::WriteOnly));
            if (folder == 32 && i == 769)
                f.write("last");
        }
    }
    QVERIFY(rig.start());
    QCOMPARE(rig.server.catalogue().SongCount(), kSongs);
    ProtocolClient &c = rig.connect();
    QVERIFY(rig.sendOne(c, "SONG 32770\r\n"));
    QCOMPARE(c.readExactly(4096), *Wire::fileHeader(4, "f32\\s769.mp3"));
    QVERIFY(rig.sendOne(c, "READY\r\n"));
    QCOMPARE(c.readExactly(4), QByteArray("last"));
    QVERIFY(rig.sendOne(c, "SONG 32771\r\n"));
    QVERIFY(rig.nothingPending(c));
}

void TestProtocol::songsTooLargeForTheHeader()
{
    Rig rig;
    const QByteArray small = rig.addSong("a.mp3", 10, 1);
    rig.addSparseSong("b.mp3", 99'999'999);
    rig.addSparseSong("c.mp3", 100'000'000);
    rig.addSparseSong("d.mp3", 5LL << 30); // beyond 32 bits
    QVERIFY(rig.start());
    ProtocolClient &c = rig.connect();

    QVERIFY(rig.sendOne(c, "SONG 2\r\n"));
    QCOMPARE(c.readExactly(4096), header("FILE 99999999 b.mp3"));

    QVERIFY(rig.sendOne(c, "SONG 1\r\n"));
    QCOMPARE(c.readExactly(4096).left(13), QByteArray("FILE 10      "));
    const struct {
        const char *request;
        qint64 size;
    } cases[] = {{"SONG 3\r\n", 100'000'000}, {"SONG 4\r\n", 5LL << 30}};
    for (const auto &tooLarge : cases) {
        QVERIFY(rig.sendOne(c, tooLarge.request));
        QCOMPARE(rig.server.interpreter().TransferState, qint16(1));
        QCOMPARE(rig.countStarting("No file header sent: song "), 1 + int(&tooLarge - cases));
        QVERIFY(rig.entries.last().contains(Wire::groupedCount(tooLarge.size)));
        // READY streams nothing, not even the song chosen before.
        QVERIFY(rig.sendOne(c, "READY\r\n"));
        QCOMPARE(rig.countStarting("Nothing sent for READY: song "), 1 + int(&tooLarge - cases));
        QCOMPARE(rig.server.interpreter().TransferState, qint16(0));
        QVERIFY(rig.nothingPending(c));
    }
    // A song that fits makes READY work again.
    QVERIFY(rig.sendOne(c, "SONG 1\r\n"));
    QCOMPARE(c.readExactly(4096).left(13), QByteArray("FILE 10      "));
    QVERIFY(rig.sendOne(c, "READY\r\n"));
    QCOMPARE(c.readExactly(small.size()), small);
}

void TestProtocol::readyWithNothingToSend()
{
    Rig rig;
    rig.addSong("a.mp3", 10, 1);
    const QByteArray b = rig.addSong("b.mp3", 20, 2);
    QVERIFY(rig.start());
    ProtocolClient &c = rig.connect();
    Interpreter &in = rig.server.interpreter();

    // No song chosen since start.
    QVERIFY(rig.sendOne(c, "READY\r\n"));
    QCOMPARE(rig.count("Nothing sent for READY: no song has been chosen"), 1);
    QCOMPARE(in.TransferState, qint16(0));
    QVERIFY(rig.nothingPending(c));

    // The song's file vanished between the header and READY.
    QVERIFY(rig.sendOne(c, "SONG 1\r\n"));
    QCOMPARE(c.readExactly(4096).left(5), QByteArray("FILE "));
    QVERIFY(QFile::remove(rig.songPath("a.mp3")));
    QVERIFY(rig.sendOne(c, "READY\r\n"));
    QCOMPARE(rig.countStarting("Song not sent, the file cannot be opened: " + rig.songPath("a.mp3")), 1);
    QCOMPARE(rig.countStarting("Sending Song "), 0);
    QCOMPARE(in.TransferState, qint16(0));
    QVERIFY(rig.nothingPending(c));

    // ... or before the request: no header, and READY sends nothing rather
    // than the song chosen before.
    QVERIFY(rig.sendOne(c, "SONG 2\r\n"));
    QCOMPARE(c.readExactly(4096).left(5), QByteArray("FILE "));
    QVERIFY(QFile::remove(rig.songPath("b.mp3")));
    QVERIFY(QDir().mkpath(rig.songPath("b.mp3"))); // not even a file any more
    QVERIFY(rig.sendOne(c, "SONG 2\r\n"));
    QCOMPARE(rig.countStarting("No file header sent: song 2 cannot be read"), 1);
    QVERIFY(rig.sendOne(c, "READY\r\n"));
    QCOMPARE(rig.countStarting("Nothing sent for READY: song 2 cannot be read"), 1);
    QCOMPARE(in.TransferState, qint16(0));
    QVERIFY(rig.nothingPending(c));
}

void TestProtocol::nestedRunDoesNotSeeTheWaitingMessage()
{
    Rig rig;
    QVERIFY(rig.start());
    ProtocolClient &c = rig.connect();
    Lines &lines = rig.server.lines();

    // Hold the gate shut (as an outstanding send on the listener's line
    // would), so the SYNC reply waits in it; the NOOP then runs nested in
    // that wait. Once the nested run has logged, the gate opens.
    lines.setLineBusy(0, true);
    openGateEventually(rig.server);
    QObject::connect(&rig.server.log().logPane(), &MessagePane::appended, &rig.server, [&](const QString &e) {
        if (e == QLatin1String("NOOP Received\r\n\r\n"))
            QTimer::singleShot(0, &rig.server, [&] { lines.setLineBusy(0, false); });
    });
    QObject::connect(&rig.server.log().logPane(), &MessagePane::appended, &rig.server, [&](const QString &e) {
        if (e.contains(QLatin1String("msg=[SYNC")))
            QTimer::singleShot(0, &rig.server, [&] { c.send("NOOP \r\n"); });
    });
    QVERIFY(rig.sendOne(c, "SYNC \r\n"));
    QCOMPARE(c.readExactly(1), QByteArray("!"));
    QVERIFY(c.waitUntil([&] { return rig.count("NOOP Received\r\n") == 1 && !lines.lineBusy(0); }));
    QCOMPARE(c.available(), 0);
    QCOMPARE(rig.countStarting("Corrupt message received"), 0);
    QCOMPARE(rig.server.interpreter().mCmdBuffer, QByteArray());
    QVERIFY(rig.nothingPending(c));
}

void TestProtocol::nestedSongDoesNotChangeTheOuterLogLine()
{
    Rig rig;
    rig.addSong("one.mp3", 11, 1);
    rig.addSong("two.mp3", 22, 2);
    QVERIFY(rig.start());
    ProtocolClient &c = rig.connect();
    Lines &lines = rig.server.lines();

    // SONG 1's header waits in the held gate; SONG 2 runs nested and is
    // answered first; then SONG 1's header goes and its log line names its
    // own song.
    lines.setLineBusy(0, true);
    openGateEventually(rig.server);
    QObject::connect(&rig.server.log().logPane(), &MessagePane::appended, &rig.server, [&](const QString &e) {
        if (e.contains(QLatin1String("msg=[SONG 1")))
            QTimer::singleShot(0, &rig.server, [&] { c.send("SONG 2\r\n"); });
        if (e.contains(QLatin1String("msg=[SONG 2")))
            QTimer::singleShot(0, &rig.server, [&] { lines.setLineBusy(0, false); });
    });
    QVERIFY(rig.sendOne(c, "SONG 1\r\n"));
    QCOMPARE(c.readExactly(4096), *Wire::fileHeader(22, "two.mp3"));
    QCOMPARE(c.readExactly(4096), *Wire::fileHeader(11, "one.mp3"));
    QVERIFY(c.waitUntil([&] { return rig.countStarting("FILE ") == 2; }));
    QStringList fileLines;
    for (const QString &e : rig.entries)
        if (e.startsWith(QLatin1String("FILE ")))
            fileLines << e;
    QCOMPARE(fileLines, QStringList({"FILE 22       " + rig.songPath("two.mp3") + "\r\n\r\n",
                                     "FILE 11       " + rig.songPath("one.mp3") + "\r\n\r\n"}));
    QCOMPARE(rig.server.interpreter().SongSize, qint64(22));
    QCOMPARE(rig.countStarting("Corrupt message received"), 0);
}

void TestProtocol::syncDuringListStreamGoesBetweenPieces()
{
    Rig rig;
    for (int i = 0; i < 400; ++i)
        rig.addSong(QStringLiteral("folder with a long name %1/song number %1 of a long list.mp3").arg(i, 3, 10, QLatin1Char('0')), 0);
    QVERIFY(rig.start());
    const QByteArray list = rig.server.catalogue().mFilelist();
    QVERIFY(list.size() > 5 * 4096);
    ProtocolClient &c = rig.connect();

    c.whenReceived(4096, [&] { c.send("SYNC \r\n"); });
    QVERIFY(rig.sendOne(c, "SLIST\r\n"));
    QByteArray got = c.readExactly(list.size() + 1);
    QVERIFY(c.waitUntil([&] { return rig.server.interpreter().TransferState == 0; }));
    QCOMPARE(got.count('!'), 1);
    const qsizetype at = got.indexOf('!');
    QCOMPARE(at % 4096, 0);
    got.remove(at, 1);
    QCOMPARE(got, list);
    QCOMPARE(rig.count("Sending Filelist"), 1);
    QCOMPARE(rig.countStarting("Sending Song List ("), 1);
    QCOMPARE(rig.countStarting("Corrupt message received"), 0);
    QVERIFY(rig.nothingPending(c));
}

void TestProtocol::reloadDuringListStreamKeepsTheRequestedList()
{
    Rig rig;
    for (int i = 0; i < 300; ++i)
        rig.addSong(QStringLiteral("songs/a long name for song %1 in a list of many.mp3").arg(i, 3, 10, QLatin1Char('0')), 0);
    QVERIFY(rig.start());
    const QByteArray before = rig.server.catalogue().mFilelist();
    ProtocolClient &c = rig.connect();

    // Mid-stream, most songs go and the list is rebuilt, much shorter.
    c.whenReceived(4096, [&] {
        QDir(rig.songPath("songs")).removeRecursively();
        rig.addSong("only.mp3", 0);
        rig.server.catalogue().cmdReload_Click();
    });
    QVERIFY(rig.sendOne(c, "SLIST\r\n"));
    QCOMPARE(c.readExactly(before.size()), before);
    QVERIFY(c.waitUntil([&] { return rig.server.interpreter().TransferState == 0; }));
    QCOMPARE(rig.server.catalogue().mFilelist(), QByteArray("\\only.mp3\r\n"));
    QVERIFY(rig.nothingPending(c));
    QVERIFY(rig.sendOne(c, "SLIST\r\n"));
    QCOMPARE(c.readExactly(11), QByteArray("\\only.mp3\r\n"));
}

void TestProtocol::streamEndsWhenItsLineIsClaimedAgain()
{
    Rig rig;
    const QByteArray song = rig.addSong("s.mp3", 2 << 20, 5);
    QVERIFY(rig.start());
    ProtocolClient &old = rig.connect();
    const qint16 line = rig.lineOf(old);
    QVERIFY(rig.sendOne(old, "SONG 1\r\n"));
    QCOMPARE(old.readExactly(4096).size(), 4096);

    // Mid-song, with the gate held, the client goes and a new one takes its
    // line; then the gate opens.
    Lines &lines = rig.server.lines();
    ProtocolClient newcomer;
    QAbstractItemModel *model = rig.server.table().model();
    QObject::connect(model, &QAbstractItemModel::rowsRemoved, &rig.server, [&] {
        if (!lines.lineInUse(line) && newcomer.socket().state() == QAbstractSocket::UnconnectedState)
            newcomer.socket().connectToHost(QHostAddress::LocalHost, rig.port);
    });
    QObject::connect(model, &QAbstractItemModel::rowsInserted, &rig.server, [&] {
        if (lines.lineInUse(line))
            QTimer::singleShot(0, &rig.server, [&] { lines.setLineBusy(0, false); });
    });
    old.whenReceived(4096 + 64 * 1024, [&] {
        lines.setLineBusy(0, true);
        openGateEventually(rig.server);
        old.close();
    });
    QVERIFY(rig.sendOne(old, "READY\r\n"));
    QVERIFY(old.waitUntil([&] { return rig.server.interpreter().TransferState == 0; }));
    QVERIFY(old.waitUntil([&] { return newcomer.isConnected() && lines.lineInUse(line); }));
    QCOMPARE(rig.lineOf(newcomer), line);
    QVERIFY(!lines.lineBusy(0));
    QCOMPARE(newcomer.available(), 0);
    QCOMPARE(newcomer.totalReceived(), 0);
    // The newcomer is served normally from now on.
    rig.select({line});
    QVERIFY(rig.nothingPending(newcomer));
}

void TestProtocol::headerPathComesFromTheCatalogue()
{
    Rig rig;
    rig.addSong("Jazz/Night/x.mp3", 3, 1);
    QVERIFY(rig.start());
    ProtocolClient &c = rig.connect();
    // The field edited without a reload, shorter and longer.
    for (const QString &field : {QStringLiteral("/"), rig.music.path() + QStringLiteral("/Jazz/Night/more")}) {
        rig.server.setTxtMusicFolder(field);
        QVERIFY(rig.sendOne(c, "SONG 1\r\n"));
        QCOMPARE(c.readExactly(4096), *Wire::fileHeader(3, "Jazz\\Night\\x.mp3"));
    }
}

void TestProtocol::lookupDuringScanAnswersFromTheOfferedCatalogue()
{
    Rig rig;
    const QByteArray first = rig.addSong("m.mp3", 9, 1);
    QVERIFY(rig.start());
    ProtocolClient &c = rig.connect();
    const QByteArray offered = rig.server.catalogue().mFilelist();

    // A new song sorts first, in a tree big enough that the scan lets events
    // through many times; a request arriving meanwhile is for the list the
    // client has.
    rig.addSong("a.mp3", 5, 2);
    for (int i = 0; i < 400; ++i)
        rig.addSong(QStringLiteral("z/%1.txt").arg(i), 0);
    bool scanningAtArrival = false;
    QObject::connect(&rig.server.log().logPane(), &MessagePane::appended, &rig.server, [&](const QString &e) {
        if (e.contains(QLatin1String("msg=[SONG")))
            scanningAtArrival = rig.server.catalogue().scanning();
    });
    rig.server.catalogue().setPumpInterval(std::chrono::nanoseconds(0));
    c.send("SONG 1\r\n");
    rig.server.catalogue().cmdReload_Click();
    QVERIFY(scanningAtArrival);
    QCOMPARE(c.readExactly(4096), *Wire::fileHeader(9, "m.mp3"));
    QVERIFY(rig.server.catalogue().mFilelist() != offered);
    QVERIFY(rig.sendOne(c, "READY\r\n"));
    QCOMPARE(c.readExactly(first.size()), first);
    QCOMPARE(rig.server.interpreter().TransferState, qint16(0));
}

void TestProtocol::receiveBufferIsBounded()
{
    Rig rig;
    QVERIFY(rig.start());
    ProtocolClient &c = rig.connect();
    Interpreter &in = rig.server.interpreter();
    qsizetype largest = 0;
    QObject::connect(&rig.server.log().logPane(), &MessagePane::appended, &rig.server,
                     [&](const QString &) { largest = qMax(largest, in.mCmdBuffer.size()); });

    // Four megabytes without a line end, in many writes.
    const QByteArray junk(64 * 1024, 'x');
    qint64 sent = 0;
    for (int i = 0; i < 64; ++i) {
        c.send(junk);
        sent += junk.size();
        QVERIFY(c.waitUntil([&] { return c.socket().bytesToWrite() == 0; }));
    }
    qint64 logged = 0;
    QVERIFY(c.waitUntil([&] {
        logged = 0;
        for (const QString &e : rig.entries) {
            const qsizetype at = e.indexOf(QLatin1String(" - Recv="));
            if (at >= 0)
                logged += QLocale::system().toLongLong(e.mid(at + 8).section(QLatin1Char(' '), 0, 0));
        }
        return logged == sent;
    }));
    QVERIFY(largest <= Interpreter::kMaxCmdBuffer);
    QVERIFY(in.mCmdBuffer.size() <= Interpreter::kMaxCmdBuffer);
    QVERIFY(rig.countStarting("Receive buffer limit of ") >= 1);
    QVERIFY(rig.server.log().logPane().text().size() < 65000 + 2 * 64 * 1024 + 100);

    // A line end brings the conversation back.
    QVERIFY(rig.sendOne(c, "\r\n"));
    QCOMPARE(in.mCmdBuffer, QByteArray());
    QVERIFY(rig.nothingPending(c));
}

void TestProtocol::streamStopsWhenTheServerExits()
{
    Rig rig;
    rig.addSong("s.mp3", 4 << 20, 6);
    QVERIFY(rig.start());
    ProtocolClient &c = rig.connect();
    QVERIFY(rig.sendOne(c, "SONG 1\r\n"));
    QCOMPARE(c.readExactly(4096).size(), 4096);
    c.whenReceived(4096 + 128 * 1024, [&] { rig.server.beginExit(); });
    QVERIFY(rig.sendOne(c, "READY\r\n"));
    QVERIFY(c.waitUntil([&] { return rig.server.interpreter().TransferState == 0; }));
    QVERIFY(c.totalReceived() < 4096 + (4 << 20));
}

QTEST_GUILESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
