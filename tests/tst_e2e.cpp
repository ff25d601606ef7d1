// End-to-end tests of the built executable, run as a user would run it: a
// folder with a copy of the program and its vorlune.ini, a music tree, the
// offscreen platform, a protocol client on loopback, the log read from
// standard output, SIGTERM at the end and the settings file checked.

#include "ServerRun.h"

#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

using namespace E2E;

namespace {

// The .mp3 files below root in serving order: a folder's own files first,
// then its subfolders, each listing in case-insensitive name order.
QStringList expectedSongs(const QString &root, const QString &rel = QString())
{
    QDir dir(root + rel);
    auto byName = [](const QString &a, const QString &b) {
        const int c = a.compare(b, Qt::CaseInsensitive);
        return c != 0 ? c < 0 : a < b;
    };
    QStringList files = dir.entryList(QDir::Files, QDir::NoSort);
    std::sort(files.begin(), files.end(), byName);
    QStringList result;
    for (const QString &f : files)
        if (f.endsWith(".mp3", Qt::CaseInsensitive))
            result << rel + "/" + f;
    QStringList subdirs = dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::NoSort);
    std::sort(subdirs.begin(), subdirs.end(), byName);
    for (const QString &d : subdirs)
        result << expectedSongs(root, rel + "/" + d);
    return result;
}

} // namespace

class EndToEnd : public QObject {
    Q_OBJECT
private slots:
    void firstStartWithoutSettingsFile();
    void clientSessionAgainstSampleMusic();
    void portTakenAtStartUp();
};

void EndToEnd::firstStartWithoutSettingsFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ServerRun run(dir.path());
    QVERIFY(run.start());

    // With no settings the port field holds 15150 and the address is picked.
    const int auto_ = run.waitForLine(QRegularExpression("^No IP Selected\\.  Auto-Selecting \\S+$"));
    QVERIFY2(auto_ >= 0, qPrintable(run.lines().join('\n')));
    const QString picked = run.lines().at(auto_).section(' ', -1);
    const int outcome = run.waitForLine(
        QRegularExpression("^(Listening on .* - 15150|ERROR \\(listen port\\): .*)$"), auto_);
    QVERIFY2(outcome >= 0, qPrintable(run.lines().join('\n')));
    const bool listening = run.lines().at(outcome).startsWith("Listening on ");
    // No music folder: no scan, so no song count is logged.
    QVERIFY(!run.lines().join('\n').contains("Songs Available: "));

    int code = -1;
    QVERIFY(run.terminate(&code));
    QCOMPARE(code, 0);
    // The address in use is written back only when listening started.
    QCOMPARE(readFile(run.iniPath()), settingsText(listening ? picked : QString(), "15150", ""));
}

void EndToEnd::clientSessionAgainstSampleMusic()
{
    const QString music = QStringLiteral(VORLUNE_SOURCE_DIR "/samples/music");
    const QStringList songs = expectedSongs(music);
    QVERIFY2(songs.size() >= 3, "the bundled sample music is missing");

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ServerRun run(dir.path());
    const QByteArray ini = settingsText("127.0.0.1", "0", music);
    QVERIFY(writeFile(run.iniPath(), ini));
    QVERIFY(run.start());

    const int port = run.listeningPort();
    QVERIFY2(port > 0, qPrintable(run.lines().join('\n')));
    // Start-up order: the scan completes before the listener opens.
    const QStringList log = run.lines();
    const int songsLine = log.indexOf("Songs Available: " + QString::number(songs.size()));
    const int listenLine = run.waitForLine(QRegularExpression("^Listening on "));
    QVERIFY2(songsLine >= 0 && songsLine < listenLine, qPrintable(log.join('\n')));

    Client c;
    QVERIFY(c.connectTo(port));

    QByteArray expectedList;
    for (const QString &s : songs)
        expectedList += QString(s).replace('/', '\\').toUtf8() + "\r\n";

    c.send("SLLEN\r\n");
    const QByteArray len = c.read(10);
    QCOMPARE(len, QByteArray::number(expectedList.size()) + '\0'
                      + QByteArray(9 - QByteArray::number(expectedList.size()).size(), ' '));

    c.send("SLIST\r\n");
    QCOMPARE(c.read(expectedList.size()), expectedList);

    for (int n : {1, int(songs.size())}) {
        const QByteArray song = readFile(music + songs[n - 1]);
        QVERIFY(!song.isEmpty() && song != "<missing>");
        c.send("SONG " + QByteArray::number(n) + "\r\n");
        const QByteArray header = c.read(4096);
        QCOMPARE(header.size(), 4096);
        const QByteArray size = QByteArray::number(song.size());
        const QByteArray path = songs[n - 1].mid(1).replace('/', '\\').toUtf8();
        QByteArray expectedHeader = "FILE " + size + QByteArray(8 - size.size(), ' ') + ' ' + path + '\0';
        expectedHeader += QByteArray(4096 - expectedHeader.size(), ' ');
        QCOMPARE(header, expectedHeader);

        c.send("READY\r\n");
        QCOMPARE(c.read(song.size()), song);
    }

    c.send("SYNC \r\n");
    QCOMPARE(c.read(1), QByteArray("!"));

    // Exit with two clients connected: their connections end, nothing is sent.
    Client idle;
    QVERIFY(idle.connectTo(port));
    QVERIFY(run.waitForLine(QRegularExpression("^Accepted to 127\\.0\\.0\\.1 - "
                                               + QString::number(idle.socket.localPort()) + "$")) >= 0);
    int code = -1;
    QVERIFY(run.terminate(&code));
    QCOMPARE(code, 0);
    QVERIFY(c.endedSilently());
    QVERIFY(idle.endedSilently());
    QCOMPARE(readFile(run.iniPath()), ini);
}

void EndToEnd::portTakenAtStartUp()
{
    QTcpServer squatter;
    QVERIFY(squatter.listen(QHostAddress::LocalHost, 0));

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ServerRun run(dir.path());
    const QByteArray ini = settingsText("127.0.0.1", QString::number(squatter.serverPort()), "");
    QVERIFY(writeFile(run.iniPath(), ini));
    QVERIFY(run.start());

    QVERIFY2(run.waitForLine(QRegularExpression("^ERROR \\(listen port\\):  10048 - .+")) >= 0,
             qPrintable(run.lines().join('\n')));
    QVERIFY(!run.lines().join('\n').contains("Listening on "));
    QVERIFY(run.running());

    int code = -1;
    QVERIFY(run.terminate(&code));
    QCOMPARE(code, 0);
    QCOMPARE(readFile(run.iniPath()), ini);
}

QTEST_GUILESS_MAIN(EndToEnd)
#include "tst_e2e.moc"
