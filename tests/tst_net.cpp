// The connection lines over real loopback sockets: what clients and the
// operator see as lines are taken, refused, reused and closed, and the send
// gate's waits with everything that can happen inside them.

#include "NetHarness.h"

#include <QItemSelectionModel>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

using namespace NetHarness;

namespace {
const QString kCrLf = QStringLiteral("\r\n");

// A row's seven cells as the operator reads them; row -1 gives the headers.
QStringList rowCells(const ConnectionTable &table, int row)
{
    QStringList cells;
    for (int column = 0; column < ConnectionTable::kColumnCount; ++column)
        cells << (row < 0 ? table.model()->headerData(column, Qt::Horizontal).toString() : table.cell(row, column));
    return cells;
}

void selectOnly(Server &server, qint16 line)
{
    server.table().selectionModel()->select(server.table().model()->index(server.table().rowOfLine(line), 0),
                                            QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

// Line 1's client stops reading, so that an 8 MiB send to it stays
// outstanding and holds the gate; the clients of lines 2 and 3 read.
struct HeldGate {
    Server server;
    quint16 port = listenOnLoopback(server);
    std::unique_ptr<QTcpSocket> one = connectClient(server, port, 4096);
    std::unique_ptr<QTcpSocket> two = connectClient(server, port);
    std::unique_ptr<QTcpSocket> three = connectClient(server, port);
    bool hold()
    {
        if (one && two && three)
            server.lines().SendMsg(1, QByteArray(8 << 20, 'x'));
        return server.lines().lineBusy(1);
    }
};
} // namespace

class TestNet : public QObject {
    Q_OBJECT
private slots:
    void acceptsHundredThenRefusesAndReusesLowest()
    {
        Server server;
        const quint16 port = listenOnLoopback(server);
        const QString portText = QString::number(port);
        QVERIFY(port != 0 && logText(server).endsWith("Listening on 127.0.0.1 - " + portText + kCrLf));
        QCOMPARE(server.title(), Server::applicationTitle() + " v" + server.mVer + "  [127.0.0.1]");
        QCOMPARE(rowCells(server.table(), -1),
                 QStringList({"IP Address", "Line #", "Local", "Remote", "Type", "Bytes Sent", "Bytes Left"}));
        QCOMPARE(rowCells(server.table(), 0), QStringList({"127.0.0.1", "0", portText, "N/A", "Listen", "N/A", "N/A"}));
        std::vector<std::unique_ptr<QTcpSocket>> clients;
        for (int line = 1; line <= 100; ++line) {
            clients.push_back(connectClient(server, port));
            QVERIFY(clients.back() && server.table().lineOfRow(line) == line && server.table().isSelected(line));
        }
        QVERIFY(!server.table().isSelected(0));
        const QString clientPort = QString::number(clients.front()->localPort());
        QCOMPARE(rowCells(server.table(), 1), QStringList({"127.0.0.1", "1", portText, clientPort, "In", "N/A", "N/A"}));
        QVERIFY(logText(server).contains("Connection Request on Winsock # 0" + kCrLf + "Accepted on 127.0.0.1 - "
                                         + portText + kCrLf + "Accepted to 127.0.0.1 - " + clientPort + kCrLf));

        // The 101st: two log lines, no row, its connection closed, no descriptor kept.
        const int fdsBefore = openDescriptorCount();
        const qsizetype mark = logText(server).size();
        {
            QTcpSocket extra;
            QSignalSpy closed(&extra, &QTcpSocket::disconnected);
            extra.connectToHost(QStringLiteral("127.0.0.1"), port);
            QVERIFY(closed.wait(10000));
        }
        QCOMPARE(logText(server).mid(mark),
                 "Connection Request on Winsock # 0" + kCrLf + "No free lines to answer connection." + kCrLf);
        QCOMPARE(server.table().rowCount(), 101);
        QCOMPARE(openDescriptorCount(), fdsBefore);
        server.lines().cmdListen_Click();
        QVERIFY(logText(server).endsWith("No Free Lines..." + kCrLf));

        clients[39]->disconnectFromHost();
        clients[6]->disconnectFromHost();
        QTRY_VERIFY(!server.lines().lineInUse(7) && !server.lines().lineInUse(40));
        QVERIFY(!server.lines().socket(7) && server.table().rowOfLine(7) < 0);
        for (const int lowest : {7, 40}) {
            clients.push_back(connectClient(server, port));
            QVERIFY(clients.back() && server.table().lineOfRow(server.table().rowCount() - 1) == lowest);
        }
    }

    void failedListenOrAcceptGivesLineBack()
    {
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::LocalHost));
        const QString takenPort = QString::number(taken.serverPort());
        Server server;
        server.log().setEchoToStdout(false);
        server.setTxtIP(QStringLiteral("127.0.0.1"));
        server.setTxtPort(takenPort);
        server.lines().cmdListen_Click();
        QVERIFY(server.lines().lineInUse(0) && logText(server).contains("ERROR (listen port):  10048 - "));

        // Line 0 stays claimed, so the next Listen takes line 1; with no
        // address given it picks one and writes it into txtIP.
        server.setTxtIP(QString());
        server.setTxtPort(QStringLiteral("0"));
        qsizetype mark = logText(server).size();
        server.lines().cmdListen_Click();
        const QString chosen = Winsock::primaryIPv4();
        QVERIFY(logText(server).mid(mark).startsWith("No IP Selected.  Auto-Selecting " + chosen + kCrLf
                                                     + "Listening on " + chosen + " - "));
        QVERIFY(server.fields().ip == chosen && server.title().endsWith("  [" + chosen + "]"));
        QVERIFY(server.table().rowCount() == 1 && server.table().lineOfRow(0) == 1);

        // Any later failure claims line 2 and returns it; the listener goes on.
        const struct { QString ip, port, logged; } failures[] = {
            {"127.0.0.1", takenPort, "ERROR (listen port):  10048 - "},
            {"127.0.0.1", " 70000", "ERROR (listen port):  10049 - Port number out of range (0 to 65535): 70000\r\n"},
            {"192.0.2.1", "0", "ERROR (listen port):  10049 - "},
        };
        for (const auto &f : failures) {
            server.setTxtIP(f.ip);
            server.setTxtPort(f.port);
            mark = logText(server).size();
            server.lines().cmdListen_Click();
            QVERIFY2(logText(server).mid(mark).startsWith(f.logged), qPrintable(logText(server).mid(mark)));
            QVERIFY(!server.lines().lineInUse(2) && !server.lines().socket(2) && server.table().rowCount() == 1);
        }
        mark = logText(server).size();
        emit server.lines().socket(1)->ConnectionRequest(1, -1);
        QCOMPARE(logText(server).mid(mark), "Connection Request on Winsock # 1" + kCrLf
                 + "ERROR (accept connection):  10022 - Invalid argument: no such connection request" + kCrLf);
        QVERIFY(!server.lines().lineInUse(2) && !server.lines().socket(2) && server.table().rowCount() == 1);
        QCOMPARE(server.lines().socket(1)->State(), int(Winsock::sckListening));
    }

    void lineZeroClientIsGatedThenForcedClosed()
    {
        Server server;
        listenOnLoopback(server);
        server.lines().cmdListen_Click(); // a second listener, on line 1
        const quint16 port = server.lines().socket(1)->LocalPort();
        auto kept = connectClient(server, port);
        QVERIFY(kept);
        selectOnly(server, 0);
        server.lines().cmdClose_Click();
        QVERIFY(logText(server).endsWith("User Closed Line # 0 - Listen 127.0.0.1" + kCrLf));
        auto onZero = connectClient(server, port, 4096);
        auto onThree = connectClient(server, port);
        QVERIFY(onZero && onThree && kept->state() == QAbstractSocket::ConnectedState);
        QCOMPARE(server.table().lineOfRow(server.table().rowCount() - 2), qint16(0));

        // A send outstanding on line 0 holds a send to line 3 as any line would.
        server.lines().SendMsg(0, QByteArray(16 << 20, 'x'));
        bool held = false;
        QTimer::singleShot(0, &server, [&] {
            held = server.lines().lineBusy(0) && onThree->bytesAvailable() == 0;
            onZero->abort();
        });
        server.lines().SendMsg(3, "hi");
        QVERIFY(held);
        QTRY_COMPARE(onThree->bytesAvailable(), qint64(2));
        QVERIFY(logText(server).contains("Line #0 - 127.0.0.1: closed connection." + kCrLf));

        // Line 0 keeps its peer's address for a failed send; Listen forces it closed.
        QCOMPARE(server.lines().socket(0)->State(), int(Winsock::sckClosing));
        const qsizetype mark = logText(server).size();
        server.lines().SendMsg(0, "x");
        server.lines().cmdListen_Click();
        QVERIFY(logText(server).mid(mark).startsWith("Error sending msg to winsock # 0 - 127.0.0.1" + kCrLf
                 + "Error: Socket is not connected" + kCrLf + "Forcing Line # 0 closed." + kCrLf + "Listening on 127.0.0.1 - "));
        QCOMPARE(server.table().lineOfRow(server.table().rowCount() - 1), qint16(0));
    }

    void eachWayALineEndsFreesItOnce()
    {
        HeldGate g;
        auto four = connectClient(g.server, g.port);
        QVERIFY(g.one && g.two && g.three && four);
        QStringList events;
        connect(&g.server.lines(), &Lines::DataArrival, &g.server, [&](qint16 line, qint64 total) {
            events << QStringLiteral("data %1 %2 %3").arg(line).arg(total).arg(g.server.lines().lineInUse(line));
        });
        // Data and the peer's close in one go: the data still comes first.
        g.one->write("ab");
        g.one->disconnectFromHost();
        QTRY_VERIFY(!g.server.lines().lineInUse(1));
        QCOMPARE(events, QStringList({"data 1 2 1"}));
        QVERIFY(logText(g.server).endsWith("Line #1 - 127.0.0.1: closed connection." + kCrLf));
        QVERIFY(g.server.table().rowOfLine(1) < 0 && !g.server.lines().socket(1));

        g.server.lines().setLineBusy(2, true);
        emit g.server.lines().socket(2)->Error(2, 10053, QStringLiteral("Connection aborted"));
        QVERIFY(logText(g.server).endsWith(" 2 - Winsock Err #10053 - Connection aborted" + kCrLf));
        QVERIFY(!g.server.lines().lineInUse(2) && !g.server.lines().lineBusy(2) && g.server.table().rowOfLine(2) < 0);

        // The operator's close walks the marked rows from the top.
        const qsizetype mark = logText(g.server).size();
        g.server.lines().cmdClose_Click();
        QVERIFY(g.server.table().rowCount() == 1 && !g.server.lines().socket(3) && !g.server.lines().socket(4));
        // The clients see their ends; the sockets the server closed or
        // destroyed itself raise no close event.
        for (QTcpSocket *client : {g.two.get(), g.three.get(), four.get()})
            QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
        QCOMPARE(logText(g.server).mid(mark),
                 "User Closed Line # 3 - 127.0.0.1" + kCrLf + "User Closed Line # 4 - 127.0.0.1" + kCrLf);

        emit g.server.lines().socket(0)->Error(0, 10050, QStringLiteral("Network is down"));
        QVERIFY(logText(g.server).endsWith(" 0 - Winsock Err #10050 - Network is down" + kCrLf));
        QVERIFY(!g.server.lines().lineInUse(0) && g.server.lines().socket(0)); // line 0's object stays
    }

    void outstandingSendEndedInsideWait_data()
    {
        QTest::addColumn<QString>("end");
        QTest::addColumn<QStringList>("order");
        QTest::addColumn<QString>("logged");
        const QStringList plain({"ended", "sent 2"});
        QTest::newRow("operator close") << "close" << plain << "User Closed Line # 1 - 127.0.0.1\r\n";
        QTest::newRow("peer reset") << "reset" << plain << "Line #1 - 127.0.0.1: closed connection.\r\n";
        QTest::newRow("exit") << "exit" << plain << "";
        // Line 1's client reads again and a send made inside the wait goes
        // first; the outer send then waits for that one in turn.
        QTest::newRow("nested send") << "nested" << QStringList({"complete 1", "ended", "complete 3", "sent 2"}) << "";
    }

    void outstandingSendEndedInsideWait()
    {
        QFETCH(QString, end);
        QFETCH(QStringList, order);
        QFETCH(QString, logged);
        HeldGate g;
        QVERIFY(g.hold());
        selectOnly(g.server, 1);
        QStringList seen;
        connect(&g.server.lines(), &Lines::SendComplete, &g.server,
                [&](qint16 line) { seen << QStringLiteral("complete %1").arg(line); });
        // Once the buffers are full nothing happens until the timer: a gate
        // that spun instead of sleeping would go round thousands of times.
        QTRY_VERIFY(g.one->bytesAvailable() >= 4096);
        const qsizetype mark = logText(g.server).size();
        const quint64 roundsBefore = g.server.lines().gateWaitRounds();
        quint64 rounds = 0;
        QTimer::singleShot(200, &g.server, [&] {
            rounds = g.server.lines().gateWaitRounds() - roundsBefore;
            if (end == "close")
                g.server.lines().cmdClose_Click();
            else if (end == "reset")
                g.one->abort();
            else if (end == "exit")
                g.server.beginExit();
            else
                g.one->setReadBufferSize(0); // reads again
            if (end == "nested")
                g.server.lines().SendMsg(3, "inner");
            seen << QStringLiteral("ended");
        });
        g.server.lines().SendMsg(2, "go");
        seen << QStringLiteral("sent 2");
        QVERIFY2(rounds > 0 && rounds < 50, qPrintable(QStringLiteral("the gate went round %1 times").arg(rounds)));
        QCOMPARE(seen, order);
        if (end == "exit") // every socket closed silently
            QTRY_COMPARE(g.two->state(), QAbstractSocket::UnconnectedState);
        QTRY_COMPARE(g.two->bytesAvailable(), qint64(end == "exit" ? 0 : 2));
        QTRY_COMPARE(g.three->bytesAvailable(), qint64(end == "nested" ? 5 : 0));
        QCOMPARE(logText(g.server).mid(mark), logged);
    }

    void sendsThatCannotReachTheirClient()
    {
        HeldGate g;
        QVERIFY(g.one && g.two && g.three);
        const qsizetype mark = logText(g.server).size();
        g.server.lines().SendMsg(7, "x");
        g.server.lines().SendMsg(0, "x"); // the listener: no peer to name
        QCOMPARE(logText(g.server).mid(mark), "Winsock # 7 no longer exists." + kCrLf + "Error: No socket on this line"
                 + kCrLf + "Error sending msg to winsock # 0" + kCrLf + "Error: Socket is not connected" + kCrLf);
        QVERIFY(!g.server.lines().lineBusy(7) && !g.server.lines().lineBusy(0));

        // Empty text still completes, later, and only then does the gate open.
        QSignalSpy complete(g.server.lines().socket(2), &Winsock::SendComplete);
        g.server.lines().SendMsg(2, QByteArray());
        QVERIFY(g.server.lines().lineBusy(2) && complete.isEmpty());
        QTRY_VERIFY(complete.count() == 1 && !g.server.lines().lineBusy(2));

        // While a send to line 2 waits, its client leaves and a new one takes line 2.
        QVERIFY(g.hold());
        std::unique_ptr<QTcpSocket> newTwo;
        QTimer::singleShot(0, &g.server, [&] {
            g.two->disconnectFromHost();
            QTRY_VERIFY(!g.server.lines().lineInUse(2));
            newTwo = connectClient(g.server, g.port);
            g.one->abort();
        });
        g.server.lines().SendMsg(2, "old");
        QVERIFY(newTwo && g.server.lines().lineInUse(2));
        QVERIFY(logText(g.server).endsWith("Winsock # 2 no longer exists." + kCrLf
                                           + "Error: The connection the data was meant for has ended" + kCrLf));
        g.server.lines().SendMsg(2, "new");
        QTRY_COMPARE(newTwo->bytesAvailable(), qint64(3));
        QCOMPARE(newTwo->readAll(), QByteArray("new"));
    }

    void arrivalsNestInsideWaitingHandlers()
    {
        Server server;
        const quint16 port = listenOnLoopback(server);
        constexpr int kClients = 20;
        std::vector<std::unique_ptr<QTcpSocket>> clients;
        for (int i = 0; i < kClients; ++i) {
            clients.push_back(connectClient(server, port));
            QVERIFY(clients.back());
        }
        // Every handler lets the next client speak and waits until all have
        // run; the deepest lets line 1 speak again while its handler waits.
        int depth = 0, maxDepth = 0, calls = 0;
        QList<qint16> lines;
        connect(&server.lines(), &Lines::DataArrival, &server, [&](qint16 line, qint64) {
            maxDepth = std::max(maxDepth, ++depth);
            lines << line;
            if (++calls <= kClients)
                clients[size_t(calls % kClients)]->write("x");
            QTRY_VERIFY_WITH_TIMEOUT(calls > kClients, 20000);
            --depth;
        });
        clients[0]->write("x");
        QTRY_VERIFY_WITH_TIMEOUT(calls > kClients && depth == 0, 30000);
        QList<qint16> expected({1});
        for (int line = 1; line <= kClients; ++line)
            expected << qint16(line);
        std::sort(lines.begin(), lines.end());
        QVERIFY(maxDepth == kClients + 1 && lines == expected);
    }

    void noDescriptorLeakOverManyConnections()
    {
        Server server;
        const quint16 port = listenOnLoopback(server);
        const int before = openDescriptorCount();
        if (before < 0)
            QSKIP("no /proc/self/fd here");
        for (int i = 0; i < 1000; ++i) {
            auto client = connectClient(server, port);
            QVERIFY2(client, qPrintable(QStringLiteral("cycle %1").arg(i)));
            client->disconnectFromHost();
            QTRY_VERIFY(!server.lines().lineInUse(1));
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(openDescriptorCount() == before && server.table().rowCount() == 1);
    }
};

QTEST_GUILESS_MAIN(TestNet)
#include "tst_net.moc"
