// The connection lines on their own, over real loopback sockets: what
// clients and the operator see as lines are taken, refused, reused and
// closed, and the send gate's waits with everything that can happen inside
// them.

#include "NetHarness.h"

#include <QItemSelectionModel>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryFile>
#include <QTest>
#include <QTimer>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <vector>

using namespace NetHarness;

namespace {
const QString kCrLf = QStringLiteral("\r\n");

// A row's seven cells as the operator reads them.
QStringList rowCells(const ConnectionTable &table, int row)
{
    QStringList cells;
    for (int column = 0; column < ConnectionTable::kColumnCount; ++column)
        cells << table.cell(row, column);
    return cells;
}

void mark(Lines &lines, qint16 line, QItemSelectionModel::SelectionFlag how)
{
    lines.table().selectionModel()->select(lines.table().model()->index(lines.table().rowOfLine(line), 0),
                                           how | QItemSelectionModel::Rows);
}

int intOption(qintptr fd, int level, int name)
{
    int value = -1;
    socklen_t size = sizeof value;
    return ::getsockopt(int(fd), level, name, &value, &size) == 0 ? value : -1;
}

// The client's close sends a reset instead of a FIN.
void resetOnClose(QTcpSocket &client)
{
    const linger abortive{1, 0};
    QVERIFY(::setsockopt(int(client.socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive)
            == 0);
}

// Line 1's client stops reading, so that an 8 MiB send to it stays
// outstanding and holds the gate; the clients of lines 2 and 3 read.
struct HeldGate {
    LinesRig rig;
    quint16 port = listenOnLoopback(rig.lines);
    std::unique_ptr<QTcpSocket> one = connectClient(rig.lines, port, 4096);
    std::unique_ptr<QTcpSocket> two = connectClient(rig.lines, port);
    std::unique_ptr<QTcpSocket> three = connectClient(rig.lines, port);
    HeldGate()
    {
        if (one && two && three)
            rig.lines.SendMsg(1, QByteArray(8 << 20, 'x'));
    }
};
} // namespace

class TestNet : public QObject {
    Q_OBJECT
private slots:
    void acceptsHundredThenRefusesAndReusesLowest()
    {
        LinesRig rig;
        Lines &lines = rig.lines;
        const quint16 port = listenOnLoopback(lines);
        const QString portText = QString::number(port);
        QVERIFY(port != 0 && rig.logText().endsWith("Listening on 127.0.0.1 - " + portText + kCrLf));
        QCOMPARE(rowCells(lines.table(), 0),
                 QStringList({"127.0.0.1", "0", portText, "N/A", "Listen", "N/A", "N/A"}));
        std::vector<std::unique_ptr<QTcpSocket>> clients;
        for (int line = 1; line <= 100; ++line) {
            clients.push_back(connectClient(lines, port));
            QVERIFY(clients.back() && lines.table().lineOfRow(line) == line
                    && lines.table().isSelected(line));
        }
        const QString clientPort = QString::number(clients.front()->localPort());
        QCOMPARE(rowCells(lines.table(), 1),
                 QStringList({"127.0.0.1", "1", portText, clientPort, "In", "N/A", "N/A"}));
        QVERIFY(rig.logText().contains("Connection Request on Winsock # 0" + kCrLf
                                       + "Accepted on 127.0.0.1 - " + portText + kCrLf
                                       + "Accepted to 127.0.0.1 - " + clientPort + kCrLf));

        // The 101st: two log lines, no row, its connection closed, no descriptor kept.
        int fds = openDescriptorCount();
        const qsizetype logMark = rig.logText().size();
        QTcpSocket extra;
        extra.connectToHost(QStringLiteral("127.0.0.1"), port);
        QTRY_COMPARE(extra.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(rig.logText().mid(logMark),
                 "Connection Request on Winsock # 0" + kCrLf + "No free lines to answer connection." + kCrLf);
        QCOMPARE(lines.table().rowCount(), 101);
        QCOMPARE(openDescriptorCount(), fds);
        lines.cmdListen_Click(QStringLiteral("127.0.0.1"), QStringLiteral("0"));
        QVERIFY(rig.logText().endsWith("No Free Lines..." + kCrLf));

        // The lowest free line goes first; then a thousand clients come and
        // go on line 40 and leave no descriptor behind.
        clients[39]->disconnectFromHost();
        clients[6]->disconnectFromHost();
        QTRY_VERIFY(!lines.lineInUse(7) && !lines.lineInUse(40));
        clients.push_back(connectClient(lines, port));
        QVERIFY(clients.back() && lines.table().lineOfRow(99) == 7);
        fds = openDescriptorCount();
        for (int i = 0; i < 1000; ++i) {
            auto client = connectClient(lines, port);
            QVERIFY(client && lines.table().lineOfRow(100) == 40);
            client->disconnectFromHost();
            QTRY_VERIFY(!lines.lineInUse(40));
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(openDescriptorCount(), fds);
    }

    void failedListenOrAcceptGivesLineBack()
    {
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::LocalHost));
        const QString takenPort = QString::number(taken.serverPort());
        LinesRig rig;
        Lines &lines = rig.lines;
        QSignalSpy listening(&lines, &Lines::listening);
        QCOMPARE(listenOnLoopback(lines, taken.serverPort()), quint16(0));
        QVERIFY(lines.lineInUse(0) && rig.logText().contains("ERROR (listen port):  10048 - "));

        // Line 0 stays claimed, so the next Listen takes line 1: with no
        // address given it picks one and announces it. Every failure after
        // it claims line 2 and returns it, announcing nothing; the listener
        // goes on.
        const QString chosen = Winsock::primaryIPv4();
        const struct {
            QString ip, port, logged;
        } listens[] = {
                {"", "0", "No IP Selected.  Auto-Selecting " + chosen + "\r\nListening on " + chosen + " - "},
                {"127.0.0.1", takenPort, "ERROR (listen port):  10048 - "},
                {"127.0.0.1", " 70000",
                 "ERROR (listen port):  10049 - Port number out of range (0 to 65535): 70000\r\n"},
                {"192.0.2.1", "0", "ERROR (listen port):  10049 - "},
        };
        for (const auto &l : listens) {
            const qsizetype logMark = rig.logText().size();
            lines.cmdListen_Click(l.ip, l.port);
            QVERIFY2(rig.logText().mid(logMark).startsWith(l.logged), qPrintable(rig.logText().mid(logMark)));
            QVERIFY(!lines.lineInUse(2) && !lines.socket(2) && lines.table().lineOfRow(0) == 1);
            QCOMPARE(listening.size(), 1);
        }
        QCOMPARE(listening.first(),
                 QVariantList({chosen, QVariant::fromValue(lines.socket(1)->LocalPort())}));
        const qsizetype logMark = rig.logText().size();
        emit lines.socket(1)->ConnectionRequest(1, -1);
        QCOMPARE(rig.logText().mid(logMark),
                 "Connection Request on Winsock # 1" + kCrLf
                         + "ERROR (accept connection):  10022 - Invalid argument: no such connection request"
                         + kCrLf);
        QVERIFY(!lines.lineInUse(2) && !lines.socket(2) && lines.table().rowCount() == 1);
    }

    void lineZeroCarriesClientsThroughTheGate()
    {
        LinesRig rig;
        Lines &lines = rig.lines;
        listenOnLoopback(lines);
        lines.cmdListen_Click(QStringLiteral("127.0.0.1"),
                              QStringLiteral("0")); // a second listener, on line 1
        const quint16 port = lines.socket(1)->LocalPort();
        mark(lines, 0, QItemSelectionModel::Select);
        lines.cmdClose_Click();
        QVERIFY(rig.logText().endsWith("User Closed Line # 0 - Listen 127.0.0.1" + kCrLf));
        auto onZero = connectClient(lines, port, 4096);
        auto onTwo = connectClient(lines, port);
        QVERIFY(onZero && onTwo && lines.table().lineOfRow(1) == 0);

        // A send outstanding on line 0 holds a send to line 2 as any line
        // would. The operator's close of line 0 lets it go, and raises no
        // close event of its own.
        lines.SendMsg(0, QByteArray(16 << 20, 'x'));
        bool held = false;
        QTimer::singleShot(0, &lines, [&] {
            held = lines.lineBusy(0) && onTwo->bytesAvailable() == 0;
            mark(lines, 0, QItemSelectionModel::ClearAndSelect);
            lines.cmdClose_Click();
        });
        lines.SendMsg(2, "hi");
        QVERIFY(held);
        QTRY_COMPARE(onTwo->bytesAvailable(), qint64(2));
        onZero->setReadBufferSize(0); // reads on, up to the end of its connection
        QTRY_COMPARE(onZero->state(), QAbstractSocket::UnconnectedState);
        QVERIFY(rig.logText().endsWith("User Closed Line # 0 - 127.0.0.1" + kCrLf));

        // Line 0 is the lowest free line again. What its client sends just
        // before it closes still arrives first; the socket keeps the peer's
        // address for a failed send, and Listen forces it closed.
        connect(&lines, &Lines::DataArrival, &lines, [&](qint16 line, qint64) {
            rig.log << QStringLiteral("arrived on %1: ").arg(line)
                            + QString::fromLatin1(lines.socket(line)->GetData());
        });
        auto again = connectClient(lines, port);
        QVERIFY(again && lines.table().lineOfRow(lines.table().rowCount() - 1) == 0);
        again->write("ab");
        again->disconnectFromHost();
        QTRY_VERIFY(!lines.lineInUse(0));
        QVERIFY(rig.logText().endsWith("arrived on 0: ab" + kCrLf + "Line #0 - 127.0.0.1: closed connection."
                                       + kCrLf));
        const qsizetype logMark = rig.logText().size();
        lines.SendMsg(0, "x");
        lines.cmdListen_Click(QStringLiteral("127.0.0.1"), QStringLiteral("0"));
        QVERIFY(rig.logText().mid(logMark).startsWith(
                "Error sending msg to winsock # 0 - 127.0.0.1" + kCrLf + "Error: Socket is not connected"
                + kCrLf + "Forcing Line # 0 closed." + kCrLf + "Listening on 127.0.0.1 - "));
        QCOMPARE(lines.table().lineOfRow(2), qint16(0));
        emit lines.socket(0)->Error(0, 10050, QStringLiteral("Network is down"));
        QVERIFY(rig.logText().endsWith(" 0 - Winsock Err #10050 - Network is down" + kCrLf));
        QVERIFY(!lines.lineInUse(0) && lines.socket(0)); // line 0's object stays
    }

    void outstandingSendEndedInsideWait_data()
    {
        QTest::addColumn<QString>("end");
        QTest::addColumn<QStringList>("order");
        QTest::addColumn<QString>("logged");
        // The OS takes the small text at once: it completes inside the send.
        const QStringList plain({"ended", "complete 2", "sent 2"});
        // The operator's close walks the marked rows from the top.
        QTest::newRow("operator close")
                << "close" << plain
                << "User Closed Line # 1 - 127.0.0.1\r\nUser Closed Line # 3 - 127.0.0.1\r\n";
        QTest::newRow("peer reset") << "reset" << plain
                                    << " 1 - Winsock Err #10054 - Connection reset by peer\r\n";
        QTest::newRow("error") << "error" << plain << " 1 - Winsock Err #10053 - Connection aborted\r\n";
        QTest::newRow("exit") << "exit" << QStringList({"ended", "sent 2"}) << ""; // dropped
        // Line 1's client reads again and a send made inside the wait goes
        // first; the outer send then waits for that one's completion in turn.
        QTest::newRow("nested send") << "nested"
                                     << QStringList(
                                                {"complete 1", "ended", "complete 3", "complete 2", "sent 2"})
                                     << "";
    }

    void outstandingSendEndedInsideWait()
    {
        QFETCH(QString, end);
        QFETCH(QStringList, order);
        QFETCH(QString, logged);
        HeldGate g;
        Lines &lines = g.rig.lines;
        QVERIFY(lines.lineBusy(1));
        mark(lines, 2, QItemSelectionModel::Deselect);
        QStringList seen;
        connect(&lines, &Lines::SendComplete, &lines,
                [&](qint16 line) { seen << QStringLiteral("complete %1").arg(line); });
        // Once the buffers are full nothing happens until the timer: a gate
        // that spun instead of sleeping would go round thousands of times.
        QTRY_VERIFY(g.one->bytesAvailable() >= 4096);
        const qsizetype logMark = g.rig.logText().size();
        const quint64 roundsBefore = lines.gateWaitRounds();
        quint64 rounds = 0;
        // A gate that never opens again fails the checks below instead of hanging.
        QTimer::singleShot(20000, &lines, [&] { g.rig.beginExit(); });
        QTimer::singleShot(200, &lines, [&] {
            rounds = lines.gateWaitRounds() - roundsBefore;
            if (end == "close")
                lines.cmdClose_Click();
            else if (end == "reset")
                resetOnClose(*g.one), g.one->abort();
            else if (end == "error")
                emit lines.socket(1)->Error(1, 10053, QStringLiteral("Connection aborted"));
            else if (end == "exit")
                g.rig.beginExit();
            else
                g.one->setReadBufferSize(0); // reads again
            if (end == "nested")             // empty text: still completed, and never from inside the send
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
        QCOMPARE(g.rig.logText().mid(logMark), logged);
        QCOMPARE(!lines.socket(1) && lines.table().rowOfLine(1) < 0, end != "exit" && end != "nested");
    }

    void peerResetIsAnErrorOrderlyCloseIsAClose_data()
    {
        QTest::addColumn<bool>("reset");
        QTest::addColumn<bool>("sending"); // an 8 MiB send to the client is stuck
        QTest::addColumn<QString>("logged");
        const QString closed = QStringLiteral("Line #1 - 127.0.0.1: closed connection.\r\n");
        const QString reset = QStringLiteral(" 1 - Winsock Err #10054 - Connection reset by peer\r\n");
        QTest::newRow("idle, close") << false << false << closed;
        QTest::newRow("idle, reset") << true << false << reset;
        QTest::newRow("sending, reset") << true << true << reset;
    }

    void peerResetIsAnErrorOrderlyCloseIsAClose()
    {
        QFETCH(bool, reset);
        QFETCH(bool, sending);
        QFETCH(QString, logged);
        LinesRig rig;
        Lines &lines = rig.lines;
        const quint16 port = listenOnLoopback(lines);
        const int fds = openDescriptorCount();
        auto client = connectClient(lines, port, 4096);
        QVERIFY(client);

        // Every accepted connection probes a silent peer: first after a
        // minute, then every 10 s, five times.
        const qintptr handle = lines.socket(1)->SocketHandle();
        const QList<int> keepAlive = {
                intOption(handle, SOL_SOCKET, SO_KEEPALIVE), intOption(handle, IPPROTO_TCP, TCP_KEEPIDLE),
                intOption(handle, IPPROTO_TCP, TCP_KEEPINTVL), intOption(handle, IPPROTO_TCP, TCP_KEEPCNT)};
        QCOMPARE(keepAlive, QList<int>({1, 60, 10, 5}));

        if (sending) {
            lines.SendMsg(1, QByteArray(8 << 20, 'x'));
            QTRY_VERIFY(client->bytesAvailable() >= 4096);
            QVERIFY(lines.lineBusy(1));
        }
        const qsizetype logMark = rig.logText().size();
        if (reset)
            resetOnClose(*client), client->abort();
        else
            client->disconnectFromHost();
        QTRY_VERIFY(!lines.lineInUse(1));
        QCOMPARE(rig.logText().mid(logMark), logged);
        QVERIFY(!lines.lineBusy(1) && lines.table().rowOfLine(1) < 0);
        client.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(openDescriptorCount(), fds);
    }

    void stalledSendEndsItsLineAndOpensTheGate_data()
    {
        QTest::addColumn<bool>("fromFile");
        QTest::newRow("text") << false;
        // Pieces of a file, as a song goes, until one finds no room: the
        // client stopped reading in the middle of a piece.
        QTest::newRow("file pieces") << true;
    }

    void stalledSendEndsItsLineAndOpensTheGate()
    {
        QFETCH(bool, fromFile);
        LinesRig rig;
        Lines &lines = rig.lines;
        const quint16 port = listenOnLoopback(lines);
        // Far more than the kernel holds for one loopback connection.
        QTemporaryFile file;
        QVERIFY(file.open() && file.resize(64 << 20));
        const int fds = openDescriptorCount();
        auto stalled = connectClient(lines, port, 4096);
        auto asker = connectClient(lines, port);
        QVERIFY(stalled && asker);
        if (fromFile) {
            QString fileError;
            for (qint64 offset = 0; offset < file.size() && !lines.lineBusy(1);)
                offset += lines.SendFilePiece(1, file.handle(), offset, 1 << 20, lines.generation(1),
                                              &fileError);
            QVERIFY(fileError.isEmpty());
        } else {
            lines.SendMsg(1, QByteArray(8 << 20, 'x'));
        }
        QTRY_VERIFY(stalled->bytesAvailable() >= 4096);
        QVERIFY(lines.lineBusy(1) && !lines.socket(1)->stallDeadline().isForever());

        // A reply to both lines, line 1 first, so it waits in the gate. The
        // limit is shortened only once that is sure: the timer can only run
        // inside the gate's wait.
        const qsizetype logMark = rig.logText().size();
        QTimer::singleShot(0, &lines, [&] { lines.setStallLimit(std::chrono::milliseconds(200)); });
        // A gate that never opens again fails the checks below instead of hanging.
        QTimer::singleShot(10000, &lines, [&] { rig.beginExit(); });
        lines.SendMsg(1, "!");
        lines.SendMsg(2, "!");
        QTRY_COMPARE_WITH_TIMEOUT(asker->bytesAvailable(), qint64(1), 10000);
        QCOMPARE(asker->readAll(), QByteArray("!"));
        QVERIFY2(rig.logText().mid(logMark).startsWith(" 1 - Winsock Err #10060 - Connection timed out\r\n"
                                                       "Winsock # 1 no longer exists.\r\n"),
                 qPrintable(rig.logText().mid(logMark)));
        QVERIFY(!lines.lineInUse(1) && lines.table().rowOfLine(1) < 0);

        // The stalled client's connection really ended, and nothing is left.
        stalled->setReadBufferSize(0);
        QTRY_COMPARE(stalled->state(), QAbstractSocket::UnconnectedState);
        stalled.reset(), asker.reset();
        QTRY_VERIFY(!lines.lineInUse(2));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(openDescriptorCount(), fds);
    }

    void everyProgressRestartsTheStallLimit()
    {
        // A client that reads slowly is never cut off: each time the OS takes
        // more of the send the limit starts again, and once the send is
        // complete no limit runs at all.
        LinesRig rig;
        Lines &lines = rig.lines;
        const quint16 port = listenOnLoopback(lines);
        // Small buffers on both sides: the OS takes the send in many steps.
        const int small = 64 << 10;
        auto slow = connectClient(lines, port, 4096, small);
        QVERIFY(slow);
        ::setsockopt(int(lines.socket(1)->SocketHandle()), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        // The deadline each time the OS has taken more bytes (the first: the
        // bytes it took at once, when the limit began).
        std::vector<qint64> deadlines;
        qint64 lastSent = 0;
        connect(&lines, &Lines::SendProgress, &lines, [&](qint16 line, qint64 sent, qint64 remaining) {
            if (line == 1 && remaining > 0 && sent > std::exchange(lastSent, sent))
                deadlines.push_back(lines.socket(1)->stallDeadline().deadlineNSecs());
        });
        const qint64 total = 2 << 20;
        lines.SendMsg(1, QByteArray(total, 'x'));
        QTRY_VERIFY(slow->bytesAvailable() >= 4096);
        QVERIFY(!lines.socket(1)->stallDeadline().isForever() && lines.lineBusy(1));

        // 64 KiB at a time, each step waiting for the client's own buffer.
        const qint64 step = 64 << 10;
        qint64 received = slow->readAll().size();
        slow->setReadBufferSize(step);
        while (lines.lineBusy(1)) {
            QVERIFY(QTest::qWaitFor(
                    [&] {
                        return slow->bytesAvailable() >= qMin(step, total - received) || !lines.lineBusy(1);
                    },
                    10000));
            received += slow->readAll().size();
        }
        QVERIFY2(deadlines.size() >= 4, qPrintable(QString::number(deadlines.size())));
        // Strictly later each time: every progress restarted the limit.
        QVERIFY(std::adjacent_find(deadlines.begin(), deadlines.end(), std::greater_equal<qint64>())
                == deadlines.end());
        QVERIFY(lines.socket(1)->stallDeadline().isForever());
        QVERIFY(lines.lineInUse(1));
        QVERIFY(!rig.logText().contains("Winsock Err"));
    }

    void sendWaitingForAReleasedLineNeverReachesItsNextClient()
    {
        // While a send to line 2 waits, its client leaves and a new one takes line 2.
        HeldGate g;
        Lines &lines = g.rig.lines;
        QVERIFY(lines.lineBusy(1));
        std::unique_ptr<QTcpSocket> newTwo;
        QTimer::singleShot(0, &lines, [&] {
            g.two->disconnectFromHost();
            QTRY_VERIFY(!lines.lineInUse(2));
            newTwo = connectClient(lines, g.port);
            g.one->abort();
        });
        lines.SendMsg(2, "old");
        QVERIFY(newTwo);
        QVERIFY(g.rig.logText().endsWith("Winsock # 2 no longer exists." + kCrLf
                                         + "Error: The connection the data was meant for has ended" + kCrLf));
        lines.SendMsg(2, "new");
        QTRY_COMPARE(newTwo->bytesAvailable(), qint64(3));
        QCOMPARE(newTwo->readAll(), QByteArray("new"));
    }
};

QTEST_GUILESS_MAIN(TestNet)
#include "tst_net.moc"
