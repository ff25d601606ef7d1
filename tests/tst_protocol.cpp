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
#include <QFile>
#include <QItemSelectionModel>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
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

QTEST_GUILESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
