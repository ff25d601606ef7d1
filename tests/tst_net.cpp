// The connection lines on their own, over real loopback sockets: what
// clients and the operator see as lines are taken, refused, reused and
// closed, and the send gate's waits with everything that can happen inside
// them.

#include "NetHarness.h"
#include "net/ConnectionAdmission.h"

#include <QElapsedTimer>
#include <QItemSelectionModel>
#include <QTest>
#include <QTimer>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <functional>
#include <vector>

using namespace NetHarness;

namespace {
void mark(Lines &lines, qint16 line, QItemSelectionModel::SelectionFlag how)
{
    lines.table().selectionModel()->select(lines.table().model()->index(lines.table().rowOfLine(line), 0),
                                           how | QItemSelectionModel::Rows);
}

// The client's close sends a reset instead of a FIN.
void resetAndClose(QTcpSocket &client)
{
    const linger abortive{1, 0};
    ::setsockopt(int(client.socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    client.abort();
}

// An option of the server's side of a line's connection; -1 if unreadable.
int socketOption(Lines &lines, qint16 line, int level, int name)
{
    int value = -1;
    socklen_t size = sizeof value;
    if (::getsockopt(int(lines.socket(line)->SocketHandle()), level, name, &value, &size) != 0)
        return -1;
    return value;
}

// The lines wired as the program wires them, with the log kept here, an
// exit flag and waits that block in the event loop. It also does the
// protocol's one duty towards the gate: a line's send that completes clears
// its busy flag.
struct LinesRig {
    QStringList log;
    bool exiting = false;
    std::function<void(const QString &)> onLog; // runs as each entry is logged
    Lines lines{loopbackServices(
            [this](const QString &entry) {
                log << entry;
                if (onLog)
                    onLog(entry);
            },
            exiting)};
    LinesRig()
    {
        QObject::connect(&lines, &Lines::SendComplete, &lines,
                         [this](qint16 line) { lines.setLineBusy(line, false); });
    }
    // The exit work: no wait goes on, every socket closes without an event.
    void beginExit()
    {
        exiting = true;
        lines.closeAllSilently();
    }
};

// A client that reads nothing until the test does (Qt takes in one byte for
// it), through a small window and a small send buffer on the server's side
// (loopback's grow to megabytes): what is sent to it beyond these stays in
// the server's send queue.
std::unique_ptr<QTcpSocket> quietClient(Lines &lines, quint16 port)
{
    auto client = connectClient(lines, port, 1, 2048);
    const int sendBuffer = 16 << 10;
    if (client)
        ::setsockopt(int(lines.socket(lines.table().lineOfRow(lines.table().rowCount() - 1))->SocketHandle()),
                     SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    return client;
}

// Line 0 serves a client like any line once its listener is closed (the
// listener goes on on line 1). Line 0's client stops reading, so that an
// 8 MiB send to it stays outstanding and holds the gate; small buffers on
// both sides make the OS take that send in many steps once the client reads
// again. The clients of lines 2 and 3 read.
struct HeldGate {
    LinesRig rig;
    quint16 port = 0;
    std::unique_ptr<QTcpSocket> zero, two, three;
    HeldGate()
    {
        listenOnLoopback(rig.lines);
        rig.lines.cmdListen_Click(QStringLiteral("127.0.0.1"), QStringLiteral("0"));
        port = rig.lines.socket(1)->LocalPort();
        mark(rig.lines, 0, QItemSelectionModel::Select);
        rig.lines.cmdClose_Click();
        const int small = 64 << 10;
        zero = connectClient(rig.lines, port, 4096, small);
        if (zero)
            ::setsockopt(int(rig.lines.socket(0)->SocketHandle()), SOL_SOCKET, SO_SNDBUF, &small,
                         sizeof small);
        two = connectClient(rig.lines, port);
        three = connectClient(rig.lines, port);
        if (zero && two && three)
            rig.lines.SendMsg(0, QByteArray(8 << 20, 'x'));
    }
};
} // namespace

class TestNet : public QObject {
    Q_OBJECT
private slots:
    void hundredLinesThenRefusedThenLowestReusedLeavingNothing()
    {
        LinesRig rig;
        Lines &lines = rig.lines;
        const quint16 port = listenOnLoopback(lines);
        std::vector<std::unique_ptr<QTcpSocket>> clients;
        for (int line = 1; line <= 100; ++line) {
            clients.push_back(connectClient(lines, port));
            QVERIFY(clients.back() && lines.table().lineOfRow(line) == line
                    && lines.table().isSelected(line));
            // The end of every send leaves at once: no Nagle's hold.
            QCOMPARE(socketOption(lines, qint16(line), IPPROTO_TCP, TCP_NODELAY), 1);
        }
        QStringList cells;
        for (int column = 0; column < ConnectionTable::kColumnCount; ++column)
            cells << lines.table().cell(1, column);
        QCOMPARE(cells,
                 QStringList({"127.0.0.1", "1", QString::number(port),
                              QString::number(clients[0]->localPort()), "In", "N/A", "N/A"}));
        // Every accepted connection probes a silent peer: first after a
        // minute, then every 10 s, five times.
        const auto option = [&](int level, int name) { return socketOption(lines, 1, level, name); };
        QCOMPARE(QList<int>({option(SOL_SOCKET, SO_KEEPALIVE), option(IPPROTO_TCP, TCP_KEEPIDLE),
                             option(IPPROTO_TCP, TCP_KEEPINTVL), option(IPPROTO_TCP, TCP_KEEPCNT)}),
                 QList<int>({1, 60, 10, 5}));

        // The 101st: refused, no row, no descriptor kept; nor can a listener start.
        int fds = openDescriptorCount();
        qsizetype logMark = rig.log.size();
        QTcpSocket extra;
        extra.connectToHost(QStringLiteral("127.0.0.1"), port);
        QTRY_COMPARE(extra.state(), QAbstractSocket::UnconnectedState);
        lines.cmdListen_Click(QStringLiteral("127.0.0.1"), QStringLiteral("0"));
        QCOMPARE(rig.log.mid(logMark),
                 QStringList({"Connection Request on Winsock # 0", "No free lines to answer connection.",
                              "No Free Lines..."}));
        QCOMPARE(lines.table().rowCount(), 101);
        QCOMPARE(openDescriptorCount(), fds);

        // The lowest free line goes first, not the one freed last.
        clients[6]->disconnectFromHost();
        QTRY_VERIFY(!lines.lineInUse(7));
        clients[39]->disconnectFromHost();
        QTRY_VERIFY(!lines.lineInUse(40));
        clients.push_back(connectClient(lines, port));
        QVERIFY(clients.back() && lines.table().lineOfRow(99) == 7);

        // Clients come and go on line 40 and leave no descriptor behind. A
        // peer's reset is an error, its orderly close a close, and what it
        // sent just before it closed arrives first.
        connect(&lines, &Lines::DataArrival, &lines, [&](qint16 line, qint64) {
            rig.log << QStringLiteral("arrived on %1: ").arg(line)
                            + QString::fromLatin1(lines.socket(line)->GetData());
        });
        fds = openDescriptorCount();
        for (int i = 0; i < 100; ++i) {
            auto client = connectClient(lines, port);
            QVERIFY(client && lines.table().lineOfRow(100) == 40);
            logMark = rig.log.size();
            if (i % 2) {
                resetAndClose(*client);
            } else {
                client->write("ab");
                client->disconnectFromHost();
            }
            QTRY_VERIFY(!lines.lineInUse(40));
            QCOMPARE(rig.log.mid(logMark),
                     i % 2 ? QStringList({" 40 - Winsock Err #10054 - Connection reset by peer"})
                           : QStringList({"arrived on 40: ab", "Line #40 - 127.0.0.1: closed connection."}));
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(openDescriptorCount(), fds);
    }

    void whoMayConnectIsDecidedAtTheRequest()
    {
        // Networks as an operator writes them; IPv4 clients of a dual-stack
        // listener (::ffff:a.b.c.d) are matched as IPv4.
        const auto network = [](const char *text) { return AdmissionRule::parseNetwork(text); };
        for (const char *malformed : {"", "x", "192.168", "/8", "10/8", "1.2.3.256", "1.0.0.0/33", "::1/129"})
            QVERIFY2(!network(malformed), malformed);
        AdmissionRule rule;
        for (const char *text : {"192.168.1.0/24", "::1", "fd00::/8", "::ffff:10.0.0.0/104", " 172.16.0.9 "})
            rule.allowed << network(text).value();
        QCOMPARE(rule.allowed[3], qMakePair(QHostAddress("10.0.0.0"), 8));
        for (const char *in : {"192.168.1.255", "::ffff:192.168.1.7", "::1", "fd12::5", "::ffff:10.1.1.1"})
            QVERIFY2(rule.allowsAddress(QHostAddress(in)), in);
        for (const char *out :
             {"192.168.2.1", "::ffff:192.168.2.7", "::2", "fe00::1", "11.0.0.1", "172.16.0.10"})
            QVERIFY2(!rule.allowsAddress(QHostAddress(out)), out);

        // The refusals' log: within a window, each address once, at most so
        // many lines; what was held back is counted when the window ends.
        QStringList logged;
        RefusalLog refusals([&](const QString &entry) { logged << entry; });
        QVERIFY(refusals.refused("10.0.0.1", "why") && !refusals.refused("10.0.0.1", "why"));
        for (int i = 2; i <= RefusalLog::kLinesPerWindow + 1; ++i)
            refusals.refused("10.0.0." + QString::number(i), "why");
        QCOMPARE(logged.size(), RefusalLog::kLinesPerWindow);
        QCOMPARE(logged.last(), QString("Connection from 10.0.0.%1 turned away: why").arg(logged.size()));
        refusals.endWindow(std::chrono::seconds(60));
        QCOMPARE(logged.last(), "Connections turned away in the last 60 s and not logged one by one: 2");
        QVERIFY(refusals.refused("10.0.0.1", "why")); // a new window
        refusals.endWindow(std::chrono::milliseconds(5));
        QCOMPARE(logged.size(), RefusalLog::kLinesPerWindow + 2); // nothing held back, no count

        // Real clients: 127.0.0.1 and 127.0.0.3 may connect, two lines each.
        LinesRig rig;
        Lines &lines = rig.lines;
        const quint16 port = listenOnLoopback(lines);
        lines.admission().setRule({{network("127.0.0.1").value(), network("127.0.0.3").value()}, 2});
        lines.admission().setWindow(std::chrono::hours(1)); // never ends within the test
        const auto connectFrom = [&](const char *source) {
            auto client = std::make_unique<QTcpSocket>();
            client->bind(QHostAddress(source));
            client->connectToHost(QHostAddress::LocalHost, port);
            return client;
        };
        const auto turnedAway = [](QTcpSocket &client) {
            return QTest::qWaitFor([&] { return client.state() == QAbstractSocket::UnconnectedState; }, 20000)
                    && client.readAll().isEmpty();
        };
        qsizetype mark = rig.log.size();
        QVERIFY(turnedAway(*connectFrom("127.0.0.2")));
        const int descriptors = openDescriptorCount(); // Qt's first client socket keeps one of its own
        for (int i = 0; i < 50; ++i)
            QVERIFY(turnedAway(*connectFrom("127.0.0.2")));
        QCOMPARE(rig.log.mid(mark),
                 QStringList({"Connection from 127.0.0.2 turned away: not in an allowed network"}));
        QVERIFY(lines.table().rowCount() == 1 && !lines.lineInUse(1) && openDescriptorCount() == descriptors);

        auto first = connectClient(lines, port), second = connectClient(lines, port);
        QVERIFY(first && second && lines.lineInUse(2));
        mark = rig.log.size();
        QVERIFY(turnedAway(*connectFrom("127.0.0.1")));
        QCOMPARE(rig.log.mid(mark),
                 QStringList({"Connection from 127.0.0.1 turned away: it holds 2 lines, the most one host "
                              "may hold"}));
        auto other = connectFrom("127.0.0.3");
        QVERIFY(QTest::qWaitFor([&] { return lines.table().rowCount() == 4; }, 20000));
        QCOMPARE(lines.table().cell(3, 0), QStringLiteral("127.0.0.3"));
        // One line given back: the host may hold its second again.
        first->disconnectFromHost();
        QTRY_VERIFY(!lines.lineInUse(1));
        QVERIFY(connectClient(lines, port));
        QCOMPARE(lines.table().rowCount(), 4);
    }

    void releasedLinesAreClaimedAgainCleanly()
    {
        HeldGate g;
        Lines &lines = g.rig.lines;
        QVERIFY(lines.lineBusy(0) && g.rig.log.contains("User Closed Line # 0 - Listen 127.0.0.1"));
        // While a send to line 2 waits, its client leaves and a new one
        // takes line 2: the send never reaches the newcomer.
        std::unique_ptr<QTcpSocket> newTwo;
        // A gate that never opens again fails the checks below instead of hanging.
        QTimer::singleShot(10000, &lines, [&] { g.rig.beginExit(); });
        QTimer::singleShot(0, &lines, [&] {
            g.two->disconnectFromHost();
            QTRY_VERIFY(!lines.lineInUse(2));
            newTwo = connectClient(lines, g.port);
            g.zero->abort();
        });
        lines.SendMsg(2, "old");
        QVERIFY(newTwo);
        QCOMPARE(g.rig.log.last(2),
                 QStringList({"Winsock # 2 no longer exists.",
                              "Error: The connection the data was meant for has ended"}));
        lines.SendMsg(2, "new");
        QTRY_COMPARE(newTwo->bytesAvailable(), qint64(3));
        QCOMPARE(newTwo->readAll(), QByteArray("new"));

        // Line 0 goes to the next client. Once that one has closed, line 0's
        // socket keeps the peer's address for a failed send, and Listen
        // forces it closed.
        auto again = connectClient(lines, g.port);
        QVERIFY(again && lines.table().lineOfRow(3) == 0);
        QCOMPARE(socketOption(lines, 0, IPPROTO_TCP, TCP_NODELAY), 1);
        again->disconnectFromHost();
        QTRY_VERIFY(!lines.lineInUse(0));
        qsizetype logMark = g.rig.log.size();
        lines.SendMsg(0, "x");
        lines.cmdListen_Click(QStringLiteral("127.0.0.1"), QStringLiteral("0"));
        QCOMPARE(g.rig.log.mid(logMark),
                 QStringList({"Error sending msg to winsock # 0 - 127.0.0.1",
                              "Error: Socket is not connected", "Forcing Line # 0 closed.",
                              "Listening on 127.0.0.1 - " + QString::number(lines.socket(0)->LocalPort())}));

        // A Listen or an accept that fails gives the line it claimed back.
        const struct {
            QString ip, port, logged;
        } listens[] = {
                {"127.0.0.1", QString::number(g.port), "ERROR (listen port):  10048 - "},
                {"127.0.0.1", " 70000",
                 "ERROR (listen port):  10049 - Port number out of range (0 to 65535): 70000"},
                {"192.0.2.1", "0", "ERROR (listen port):  10049 - "},
        };
        for (const auto &l : listens) {
            lines.cmdListen_Click(l.ip, l.port);
            QVERIFY2(g.rig.log.last().startsWith(l.logged), qPrintable(g.rig.log.last()));
            QVERIFY(!lines.lineInUse(4) && !lines.socket(4));
        }
        logMark = g.rig.log.size();
        emit lines.socket(1)->ConnectionRequest(1, -1);
        QCOMPARE(g.rig.log.mid(logMark),
                 QStringList({"Connection Request on Winsock # 1",
                              "ERROR (accept connection):  10022 - Invalid argument: no such connection "
                              "request"}));
        QVERIFY(!lines.lineInUse(4) && !lines.socket(4) && lines.table().rowCount() == 4);
    }

    void outstandingSendEndedOrResumedInsideWait_data()
    {
        QTest::addColumn<QString>("end");
        QTest::addColumn<QStringList>("order");
        QTest::addColumn<QString>("logged");
        // The OS takes the small text at once: it completes inside the send.
        const QStringList plain({"ended", "complete 2", "sent 2"});
        // The operator's close walks the marked rows from the top.
        QTest::newRow("operator close")
                << "close" << plain << "User Closed Line # 0 - 127.0.0.1\nUser Closed Line # 3 - 127.0.0.1";
        QTest::newRow("peer reset") << "reset" << plain
                                    << " 0 - Winsock Err #10054 - Connection reset by peer";
        QTest::newRow("error") << "error" << plain << " 0 - Winsock Err #10053 - Connection aborted";
        // A send that makes no progress for the (shortened) limit ends its line.
        QTest::newRow("stall") << "stall" << plain << " 0 - Winsock Err #10060 - Connection timed out";
        QTest::newRow("exit") << "exit" << QStringList({"ended", "sent 2"}) << ""; // dropped
        // Line 0's client reads again and a send made inside the wait goes
        // first; the outer send then waits for that one's completion in turn.
        QTest::newRow("nested send") << "nested"
                                     << QStringList(
                                                {"complete 0", "ended", "complete 3", "complete 2", "sent 2"})
                                     << "";
    }

    void outstandingSendEndedOrResumedInsideWait()
    {
        QFETCH(QString, end);
        QFETCH(QStringList, order);
        QFETCH(QString, logged);
        HeldGate g;
        Lines &lines = g.rig.lines;
        QVERIFY(lines.lineBusy(0));
        mark(lines, 2, QItemSelectionModel::Deselect);
        QStringList seen;
        connect(&lines, &Lines::SendComplete, &lines,
                [&](qint16 line) { seen << QStringLiteral("complete %1").arg(line); });
        // The limit's deadline each time the OS has taken more of line 0's send.
        std::vector<qint64> deadlines;
        qint64 lastSent = 0;
        connect(&lines, &Lines::SendProgress, &lines, [&](qint16 line, qint64 sent, qint64 remaining) {
            if (line == 0 && remaining > 0 && sent > std::exchange(lastSent, sent))
                deadlines.push_back(lines.socket(0)->stallDeadline().deadlineNSecs());
        });
        // Once the buffers are full nothing happens until the timer: a gate
        // that spun instead of sleeping would go round thousands of times.
        QTRY_VERIFY(g.zero->bytesAvailable() >= 4096);
        QVERIFY(!lines.socket(0)->stallDeadline().isForever());
        const qsizetype logMark = g.rig.log.size();
        const quint64 roundsBefore = lines.gateWaitRounds();
        quint64 rounds = 0;
        // A gate that never opens again fails the checks below instead of hanging.
        QTimer::singleShot(10000, &lines, [&] { g.rig.beginExit(); });
        QTimer::singleShot(200, &lines, [&] {
            rounds = lines.gateWaitRounds() - roundsBefore;
            if (end == "close")
                lines.cmdClose_Click();
            else if (end == "reset")
                resetAndClose(*g.zero);
            else if (end == "error")
                emit lines.socket(0)->Error(0, 10053, QStringLiteral("Connection aborted"));
            else if (end == "stall") // the limit starts again, with the new length
                lines.setStallLimit(std::chrono::milliseconds(200));
            else if (end == "exit")
                g.rig.beginExit();
            else
                g.zero->setReadBufferSize(0); // reads again
            if (end == "nested")              // empty text: still completed, and never from inside the send
                lines.SendMsg(3, QByteArray());
            seen << QStringLiteral("ended");
        });
        lines.SendMsg(2, "go");
        seen << QStringLiteral("sent 2");
        QVERIFY2(rounds > 0 && rounds < 50,
                 qPrintable(QStringLiteral("the gate went round %1 times").arg(rounds)));
        QCOMPARE(seen, order);
        QTRY_COMPARE(g.two->state() == QAbstractSocket::UnconnectedState,
                     end == "exit"); // exit closes every socket
        QTRY_COMPARE(g.two->bytesAvailable(), qint64(end == "exit" ? 0 : 2));
        // Sockets the lines closed or destroyed themselves raise no close event.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(g.rig.log.mid(logMark).join('\n'), logged);
        // A client that reads again is never cut off: what it takes moves the
        // limit on (never back), and once it has every byte no limit runs.
        QVERIFY(std::is_sorted(deadlines.begin(), deadlines.end()));
        if (end == "nested") {
            QVERIFY2(deadlines.size() >= 4 && deadlines.back() > deadlines.front(),
                     qPrintable(QString::number(deadlines.size())));
            QTRY_VERIFY(lines.socket(0)->stallDeadline().isForever());
        }
        // Line 0's socket outlives its clients.
        QCOMPARE(lines.table().rowOfLine(0) < 0 && lines.socket(0), end != "exit" && end != "nested");
    }

    void stalledLinesAllEndOnTheirOwnClocksAndTheGateOpens()
    {
        // Sixty clients stop reading while replies go to every line, as the
        // header of every "SONG " goes to every selected line, until one
        // line's send stays outstanding and holds the gate. The others hold
        // bytes in the OS's send queue that nobody takes: each line's clock
        // runs beside the others', so all of them end, not one limit after
        // another.
        LinesRig rig;
        Lines &lines = rig.lines;
        const quint16 port = listenOnLoopback(lines);
        constexpr int kStalled = 60;
        std::vector<std::unique_ptr<QTcpSocket>> quiet;
        for (int i = 0; i < kStalled; ++i) {
            quiet.push_back(quietClient(lines, port));
            QVERIFY(quiet.back());
        }
        auto victim = connectClient(lines, port);
        QVERIFY(victim && lines.table().lineOfRow(kStalled + 1) == kStalled + 1);
        qint16 holder = -1;
        for (int round = 0; holder < 0 && round < 1000; ++round) {
            for (qint16 line = 1; line <= kStalled && holder < 0; ++line) {
                lines.SendMsg(line, QByteArray(4096, 'h'));
                if (lines.lineBusy(line))
                    holder = line;
            }
        }
        QVERIFY(holder > 0);
        // Every clock starts again with the short limit at once, so that the
        // test does not depend on how long the filling took.
        int cuts = 0;
        int clocksAtFirstCut = -1;
        rig.onLog = [&](const QString &entry) {
            if (!entry.endsWith(QStringLiteral("Winsock Err #10060 - Connection timed out")) || cuts++)
                return;
            clocksAtFirstCut = 0;
            for (qint16 line = 1; line <= kStalled; ++line) {
                const Winsock *socket = lines.socket(line);
                clocksAtFirstCut += !socket || socket->State() == Winsock::sckError
                        || !socket->stallDeadline().isForever();
            }
        };
        lines.setStallLimit(std::chrono::seconds(1));
        // The reading client's reply waits in the gate until the holder is cut.
        lines.SendMsg(kStalled + 1, "!");
        QTRY_COMPARE(victim->bytesAvailable(), qint64(1));
        QCOMPARE(clocksAtFirstCut, kStalled);
        QTRY_COMPARE_WITH_TIMEOUT(cuts, kStalled, 20000);
        QCOMPARE(lines.table().rowCount(), 2); // the listener and the reading client
    }

    void aSlowButSteadyReaderIsNeverCut()
    {
        // 2 KB/s against a limit of 2 s: the OS's send queue shrinks at every
        // read, long before the socket could take a large part of the song.
        LinesRig rig;
        Lines &lines = rig.lines;
        const quint16 port = listenOnLoopback(lines);
        lines.setStallLimit(std::chrono::seconds(2));
        const auto reader = quietClient(lines, port);
        QVERIFY(reader);
        reader->setReadBufferSize(256);
        const QByteArray song(24 << 10, 's');
        QByteArray received;
        QElapsedTimer clock;
        QTimer pace;
        QObject::connect(&pace, &QTimer::timeout, &pace, [&] {
            // Catches up after a late turn, so that the rate holds on average.
            received += reader->read(std::max<qint64>(clock.elapsed() * 2 - received.size(), 0));
        });
        clock.start();
        pace.start(100);
        lines.SendMsg(1, song);
        QTRY_VERIFY_WITH_TIMEOUT(received.size() == song.size() || !lines.lineInUse(1), 60000);
        QCOMPARE(received.size(), song.size());
        QVERIFY2(rig.log.filter("Winsock Err").isEmpty(), qPrintable(rig.log.join('\n')));
    }
};

QTEST_GUILESS_MAIN(TestNet)
#include "tst_net.moc"
