// The built executable as a Linux program: its command line, where its
// settings live, a headless start-up that cannot listen, and the two
// address families of "::".

#include "ProtocolClient.h"
#include "ServerRun.h"
#include "app/Server.h"
#include "app/SettingsLocation.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

using namespace E2E;

namespace {

QProcessEnvironment withoutDisplay()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    return env;
}

// An address from the documentation ranges that no interface here carries
// (some sandboxes give themselves one of them).
QString foreignAddress()
{
    for (const char *candidate : {"192.0.2.77", "198.51.100.77", "203.0.113.77"})
        if (!QNetworkInterface::allAddresses().contains(QHostAddress(QString::fromLatin1(candidate))))
            return QString::fromLatin1(candidate);
    return {};
}

} // namespace

class EndToEndCli : public QObject {
    Q_OBJECT
private slots:
    void commandLine_data();
    void commandLine();
    void settingsOption();
    void unwritableProgramFolder();
    void headlessStartThatCannotListen_data();
    void headlessStartThatCannotListen();
    void bothAddressFamilies();
    void settingsLocationRules();
};

void EndToEndCli::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("out"); // regular expression for standard output
    QTest::addColumn<QString>("err"); // regular expression for standard error

    const QString usage = "Usage: vorlune-server \\[options\\]\n";
    const QString helpBody = usage + "(.|\n)*--headless(.|\n)*--settings <FILE>";
    const QString version = "^"
            + QRegularExpression::escape(Server::applicationTitle() + " " + Server::versionText()) + "\n$";
    QTest::newRow("--help") << QStringList{"--help"} << 0 << QString("^" + helpBody) << QString("^$");
    QTest::newRow("--version") << QStringList{"--version"} << 0 << version << QString("^$");
    QTest::newRow("Qt's own options are accepted")
            << QStringList{"-platform", "offscreen", "-style=fusion", "-reverse", "--version"} << 0 << version
            << QString("^$");
    QTest::newRow("unknown option") << QStringList{"--bogus"} << 2 << QString("^$")
                                    << QString("^Unknown option 'bogus'\\.\n\n" + usage);
    QTest::newRow("missing argument") << QStringList{"--headless", "--settings"} << 2 << QString("^$")
                                      << QString("^Missing value after '--settings'\\.\n\n" + usage);
    QTest::newRow("empty settings file name") << QStringList{"--settings", ""} << 2 << QString("^$")
                                              << QString("^The settings file name is empty\\.\n\n" + usage);
    QTest::newRow("stray argument") << QStringList{"/srv/music"} << 2 << QString("^$")
                                    << QString("^Unexpected argument '/srv/music'\\.\n\n" + usage);
}

void EndToEndCli::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, code);
    QFETCH(QString, out);
    QFETCH(QString, err);

    // A display that does not exist: the program would abort if it opened
    // the window system before reading its command line.
    QProcess proc;
    QProcessEnvironment env = withoutDisplay();
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("DISPLAY", ":4093");
    proc.setProcessEnvironment(env);
    proc.start(QStringLiteral(VORLUNE_SERVER_EXECUTABLE), arguments);
    QVERIFY(proc.waitForFinished(kTimeoutMs) && proc.exitStatus() == QProcess::NormalExit);
    QCOMPARE(proc.exitCode(), code);
    const QByteArray stdOut = proc.readAllStandardOutput(), stdErr = proc.readAllStandardError();
    QVERIFY2(QRegularExpression(out).match(QString::fromLocal8Bit(stdOut)).hasMatch(), stdOut);
    QVERIFY2(QRegularExpression(err).match(QString::fromLocal8Bit(stdErr)).hasMatch(), stdErr);
}

void EndToEndCli::settingsOption()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ServerRun run(dir.path());
    // Line ends as a Linux editor writes them: the exit writes CR LF, so a
    // changed file shows that the exit wrote to the named file.
    const QString named = dir.filePath("elsewhere/named.ini");
    QVERIFY(QDir().mkpath(dir.filePath("elsewhere")));
    QVERIFY(writeFile(named, "127.0.0.1\n0\n\n"));

    QVERIFY(run.start({"--headless", "--settings", named}));
    QVERIFY2(run.listeningPort() > 0, qPrintable(run.lines().join('\n')));
    QVERIFY(run.lines().contains("Running headless (--headless)"));
    QVERIFY(run.lines().contains("Settings file: " + named));
    int code = -1;
    QVERIFY(run.terminate(&code));
    QCOMPARE(code, 0);
    QCOMPARE(readFile(named), settingsText("127.0.0.1", "0", ""));
    QVERIFY(!QFile::exists(run.iniPath()));
}

void EndToEndCli::unwritableProgramFolder()
{
    QTemporaryDir dir, config;
    QVERIFY(dir.isValid() && config.isValid());
    ServerRun run(dir.path());
    const QByteArray decoy = settingsText("127.0.0.1", "1", "");
    QVERIFY(writeFile(run.iniPath(), decoy));
    const QFileDevice::Permissions open = QFile::permissions(dir.path());
    const auto restore
            = qScopeGuard([&] { QFile::setPermissions(dir.path(), open); });      // so that it can be removed
    QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x5555))); // read and enter only
    // Root writes any folder: the program then runs as a user without rights
    // to it, who may still create its configuration folder.
    if (::geteuid() == 0) {
        QVERIFY(QFile::setPermissions(config.path(), QFileDevice::Permissions(0x7777)));
        run.runAs(65534, 65534);
    }
    run.environment().insert("XDG_CONFIG_HOME", config.path());
    const QString expected = config.path() + "/vorlune-server/vorlune.ini";
    QVERIFY(!QFileInfo::exists(config.path() + "/vorlune-server"));

    // First start: no settings yet. Holding the default port keeps the
    // program from serving on a real address; the headless program then ends.
    QTcpServer squatter;
    const bool held = squatter.listen(QHostAddress::AnyIPv4, 15150);
    QVERIFY(run.start({"--headless"}));
    const int outcome
            = run.waitForLine(QRegularExpression("^(Listening on .* - 15150|ERROR \\(listen port\\): .*)$"));
    QVERIFY2(outcome >= 0, qPrintable(run.lines().join('\n') + run.process().readAllStandardError()));
    QVERIFY(run.lines().contains("Settings file: " + expected));
    const bool listening = run.lines().at(outcome).startsWith("Listening on ");
    QVERIFY(!(held && listening));
    int code = -1;
    if (listening) {
        QVERIFY(run.terminate(&code));
        QCOMPARE(code, 0);
    } else {
        QVERIFY(run.waitForExit(&code));
        QCOMPARE(code, 1);
    }
    // The folder was made at exit and holds what the window's fields held.
    const QByteArray saved = readFile(expected);
    QVERIFY2(saved.endsWith("\r\n15150\r\n\r\n"), saved);
    QCOMPARE(readFile(run.iniPath()), decoy);

    // Second start: the file there is the one that is read.
    QVERIFY(writeFile(expected, settingsText("127.0.0.1", "0", "")));
    QVERIFY(run.start({"--headless"}));
    QVERIFY2(run.listeningPort() > 0, qPrintable(run.lines().join('\n')));
    QVERIFY(run.terminate(&code));
    QCOMPARE(code, 0);
    QCOMPARE(readFile(expected), settingsText("127.0.0.1", "0", ""));
    QCOMPARE(readFile(run.iniPath()), decoy);
}

void EndToEndCli::headlessStartThatCannotListen_data()
{
    QTest::addColumn<bool>("noDisplay");
    QTest::addColumn<QString>("ip");
    QTest::addColumn<bool>("portTaken");
    QTest::addColumn<QString>("error");

    QTest::newRow("--headless, port taken") << false << "127.0.0.1" << true << "  10048 - ";
    QTest::newRow("no display, port taken") << true << "127.0.0.1" << true << "  10048 - ";
    QTest::newRow("--headless, address not here") << false << foreignAddress() << false << "  10049 - ";
}

void EndToEndCli::headlessStartThatCannotListen()
{
    QFETCH(bool, noDisplay);
    QFETCH(QString, ip);
    QFETCH(bool, portTaken);
    QFETCH(QString, error);

    QVERIFY(!ip.isEmpty());
    QTcpServer squatter;
    QVERIFY(squatter.listen(QHostAddress::LocalHost, 0));
    const QString port = portTaken ? QString::number(squatter.serverPort()) : "0";

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ServerRun run(dir.path());
    // LF line ends: CR LF afterwards shows that the exit work saved them.
    QVERIFY(writeFile(run.iniPath(), (ip + "\n" + port + "\n\n").toUtf8()));
    if (noDisplay)
        run.environment() = withoutDisplay();
    QVERIFY(run.start(noDisplay ? QStringList{} : QStringList{"--headless"}));

    int code = -1;
    QVERIFY2(run.waitForExit(&code), qPrintable(run.lines().join('\n')));
    QCOMPARE(code, 1);
    const QStringList log = run.lines();
    QVERIFY2(log.contains(noDisplay ? "No display found: running headless" : "Running headless (--headless)"),
             qPrintable(log.join('\n')));
    QVERIFY2(!log.filter(QRegularExpression("^ERROR \\(listen port\\):" + error)).isEmpty(),
             qPrintable(log.join('\n')));
    QCOMPARE(readFile(run.iniPath()), settingsText(ip, port, ""));
}

void EndToEndCli::bothAddressFamilies()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHostIPv6, 0))
        QSKIP("this machine has no IPv6 loopback");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ServerRun run(dir.path());
    QVERIFY(writeFile(run.iniPath(), settingsText("::", "0", "")));
    QVERIFY(run.start());
    const int port = run.listeningPort("\\S+");
    QVERIFY2(port > 0, qPrintable(run.lines().join('\n')));
    for (const QHostAddress &address :
         {QHostAddress(QHostAddress::LocalHost), QHostAddress(QHostAddress::LocalHostIPv6)}) {
        ProtocolClient c;
        QVERIFY(c.connectTo(port, address));
        QVERIFY(run.waitForLine(QRegularExpression("^Accepted to "
                                                   + QRegularExpression::escape(address.toString()) + " - "
                                                   + QString::number(c.socket.localPort()) + "$"))
                >= 0);
    }
    int code = -1;
    QVERIFY(run.terminate(&code));
    QCOMPARE(code, 0);
}

void EndToEndCli::settingsLocationRules()
{
    // givenFile, executable folder, writable, installed copy -> file
    const QString config = "/home/u/.config/vorlune-server";
    QCOMPARE(chooseSettingsFile("/tmp/x.ini", "/opt/v", true, false, config), QString("/tmp/x.ini"));
    QCOMPARE(chooseSettingsFile("/tmp/x.ini", "/usr/bin", false, true, config), QString("/tmp/x.ini"));
    QCOMPARE(chooseSettingsFile({}, "/opt/v", true, false, config), QString("/opt/v/vorlune.ini"));
    QCOMPARE(chooseSettingsFile({}, "/opt/v", false, false, config), config + "/vorlune.ini");
    // Root may write the install folder; an installed program still keeps
    // its settings out of it.
    QCOMPARE(chooseSettingsFile({}, "/usr/bin", true, true, config), config + "/vorlune.ini");
    QCOMPARE(chooseSettingsFile({}, "/usr/bin", false, true, {}), QString("/usr/bin/vorlune.ini"));
}

QTEST_GUILESS_MAIN(EndToEndCli)
#include "tst_e2e_cli.moc"
