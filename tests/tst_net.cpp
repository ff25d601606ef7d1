// The connection lines over real loopback sockets: accepting and refusing
// clients, line reuse, listeners, line events, the send gate and its
// re-entrant paths, descriptor hygiene.

#include "NetHarness.h"

#include "app/OperatorLog.h"
#include "app/Server.h"
#include "net/ConnectionTable.h"
#include "net/Lines.h"
#include "net/Winsock.h"

#include <QItemSelectionModel>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <vector>

using namespace NetHarness;

namespace {
const QString kCrLf = QStringLiteral("\r\n");

QByteArray bigBlock(qsizetype size)
{
    return QByteArray(size, 'x');
}

// A client that stops reading once a little is buffered, so a large send to
// it stays outstanding.
std::unique_ptr<QTcpSocket> stalledClient(Server &server, quint16 port)
{
    auto client = connectClient(server, port);
    if (client)
        client->setReadBufferSize(4096);
    return client;
}

void selectOnlyRowOfLine(Server &server, qint16 line)
{
    auto *sel = server.table().selectionModel();
    sel->clearSelection();
    const int row = server.table().rowOfLine(line);
    if (row >= 0)
        sel->select(server.table().model()->index(row, 0),
                    QItemSelectionModel::Select | QItemSelectionModel::Rows);
}
} // namespace

class TestNet : public QObject {
    Q_OBJECT
private slots:
    void numberForms_data();
    void numberForms();
    void tableRowsKeysAndSelection();
    void acceptsHundredClientsThenRefuses();
    void lowestFreeLineIsReused();
    void listenerFailuresFreeTheirLine();
    void autoSelectedAddress();
    void closedListenerRowLetsLineZeroListenAgain();
    void lineZeroClientIsGatedAndForcedClosed();
    void peerCloseAfterDataFreesLine();
    void errorEventFreesLine();
    void operatorCloseRaisesNoCloseEvent();
    void gateSerialisesSendsAcrossLines();
    void gateReleasedByCloseOfOutstandingLine();
    void sendToMissingOrUnconnectedLineLogsFailure();
    void sendWaitingForReleasedLineNeverReachesNewClient();
    void emptySendCompletesLater();
    void nestedDataArrivalOnSameLine();
    void deeplyNestedArrivalsFromManyLines();
    void blockedGateDoesNotSpin();
    void exitReleasesWaitingSend();
    void noDescriptorLeakOverManyConnections();
};

void TestNet::numberForms_data()
{
    QTest::addColumn<QString>("portText");
    QTest::addColumn<int>("port");
    QTest::newRow("plain") << "15150" << 15150;
    QTest::newRow("trailing text") << "8080abc" << 8080;
    QTest::newRow("leading blanks") << "  99" << 99;
    QTest::newRow("plus sign") << "+80" << 80;
    QTest::newRow("no number") << "abc" << 0;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("zero") << "0" << 0;
    QTest::newRow("largest") << "65535" << 65535;
    QTest::newRow("too large") << "65536" << -1;
    QTest::newRow("huge") << "99999999999999999999" << -1;
    QTest::newRow("negative") << "-5" << -1;
    QTest::newRow("lone minus") << "-" << 0;
}

void TestNet::numberForms()
{
    QFETCH(QString, portText);
    QFETCH(int, port);
    QCOMPARE(Lines::portFromText(portText), port);

    QCOMPARE(Lines::signPadded(7), QStringLiteral(" 7"));
    QCOMPARE(Lines::signPadded(0), QStringLiteral(" 0"));
    QCOMPARE(Lines::signPadded(-1), QStringLiteral("-1"));
    QCOMPARE(Lines::signPadded(10048), QStringLiteral(" 10048"));
}

void TestNet::tableRowsKeysAndSelection()
{
    QCOMPARE(ConnectionTable::columnHeaders(),
             QStringList({"IP Address", "Line #", "Local", "Remote", "Type", "Bytes Sent", "Bytes Left"}));
    QCOMPARE(ConnectionTable::columnWidthsTwips(), QList<int>({1500, 350, 500, 500, 350, 800, 800}));
    QCOMPARE(ConnectionTable::twipsToPixels(1440, 96.0), 96);
    QCOMPARE(ConnectionTable::twipsToPixels(1500, 96.0), 100);
    QCOMPARE(ConnectionTable::twipsToPixels(350, 96.0), 23);
    QCOMPARE(ConnectionTable::twipsToPixels(350, 144.0), 35);

    const struct { const char *key; qint16 line; } keys[] = {
        {"0", 0}, {"7", 7}, {"100", 100}, {"12abc", 12}, {"abc", 0}, {"-3", -3}, {"", 0}, {"99999", -1}};
    for (const auto &k : keys)
        QCOMPARE(ConnectionTable::lineFromKey(QString::fromLatin1(k.key)), k.line);

    ConnectionTable table;
    table.addColumns();
    QCOMPARE(table.model()->columnCount(), 7);
    QCOMPARE(table.model()->headerData(4, Qt::Horizontal).toString(), QStringLiteral("Type"));

    table.addListenerRow(0, "10.1.2.3", 15150);
    table.addConnectionRow(3, "127.0.0.1", 15150, 40000);
    table.addConnectionRow(5, "127.0.0.2", 15150, 40001);
    table.addConnectionRow(3, "127.0.0.3", 15150, 40002); // a duplicate key: first from the top wins
    QCOMPARE(table.rowCount(), 4);
    QStringList listener, connection;
    for (int c = 0; c < 7; ++c) {
        listener << table.cell(0, c);
        connection << table.cell(1, c);
    }
    QCOMPARE(listener, QStringList({"10.1.2.3", "0", "15150", "N/A", "Listen", "N/A", "N/A"}));
    QCOMPARE(connection, QStringList({"127.0.0.1", "3", "15150", "40000", "In", "N/A", "N/A"}));
    QVERIFY(!table.isSelected(0));
    QVERIFY(table.isSelected(1) && table.isSelected(2) && table.isSelected(3)); // earlier marks kept
    QCOMPARE(table.selectedLines(), QList<qint16>({3, 5, 3}));
    QCOMPARE(table.rowOfLine(3), 1);
    QCOMPARE(table.rowOfLine(9), -1);

    table.setTransferCells(3, " 4096", " 0");
    QCOMPARE(table.cell(1, 5), QStringLiteral(" 4096"));
    QCOMPARE(table.cell(3, 5), QStringLiteral("N/A"));
    table.setTransferCells(9, "All", "None"); // no row: nothing changes
    table.removeRowOfLine(9);
    QCOMPARE(table.rowCount(), 4);

    table.removeRowOfLine(3);
    QCOMPARE(table.rowCount(), 3);
    QCOMPARE(table.cell(2, 0), QStringLiteral("127.0.0.3"));
    QCOMPARE(table.rowOfLine(3), 2);
    table.addConnectionRow(3, "127.0.0.9", 1, 2);
    QCOMPARE(table.rowOfLine(3), 2); // the older row is still the first from the top
    QCOMPARE(table.cell(3, 0), QStringLiteral("127.0.0.9"));
    QCOMPARE(table.cell(3, 5), QStringLiteral("N/A"));
}

void TestNet::acceptsHundredClientsThenRefuses()
{
    Server server;
    const quint16 port = listenOnLoopback(server);
    QVERIFY(port != 0);
    QCOMPARE(server.table().rowCount(), 1);
    QCOMPARE(server.table().cell(0, ConnectionTable::LineNumber), QStringLiteral("0"));
    QCOMPARE(server.table().cell(0, ConnectionTable::Type), QStringLiteral("Listen"));
    QVERIFY(!server.table().isSelected(0));
    QVERIFY(logText(server).contains("Listening on 127.0.0.1 - " + QString::number(port) + kCrLf));
    QCOMPARE(server.title(), Server::applicationTitle() + " v" + server.mVer + "  [127.0.0.1]");

    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int i = 1; i <= 100; ++i) {
        auto client = connectClient(server, port);
        QVERIFY2(client, qPrintable(QStringLiteral("client %1 not accepted").arg(i)));
        const int row = server.table().rowCount() - 1;
        QCOMPARE(server.table().lineOfRow(row), qint16(i));
        QCOMPARE(server.table().cell(row, ConnectionTable::Remote), QString::number(client->localPort()));
        QCOMPARE(server.table().cell(row, ConnectionTable::Local), QString::number(port));
        QVERIFY(server.lines().lineInUse(qint16(i)));
        QVERIFY(server.lines().socket(qint16(i)));
        clients.push_back(std::move(client));
    }
    QCOMPARE(server.table().rowCount(), 101);
    for (int row = 1; row <= 100; ++row)
        QVERIFY(server.table().isSelected(row));
    QVERIFY(logText(server).contains("Connection Request on Winsock # 0" + kCrLf + "Accepted on 127.0.0.1 - "
                                     + QString::number(port) + kCrLf + "Accepted to 127.0.0.1 - "
                                     + QString::number(clients.front()->localPort()) + kCrLf));

    // The 101st: exactly two log lines, no row, and its connection is closed.
    const int fdsBefore = openDescriptorCount();
    const qsizetype logBefore = logText(server).size();
    auto extra = connectRaw(port);
    QSignalSpy closed(extra.get(), &QTcpSocket::disconnected);
    QVERIFY(closed.wait(10000));
    QCOMPARE(logText(server).mid(logBefore),
             "Connection Request on Winsock # 0" + kCrLf + "No free lines to answer connection." + kCrLf);
    QCOMPARE(server.table().rowCount(), 101);
    extra.reset();
    if (fdsBefore >= 0)
        QCOMPARE(openDescriptorCount(), fdsBefore);

    // With every line taken a new listener has no line either.
    server.lines().cmdListen_Click();
    QVERIFY(logText(server).endsWith("No Free Lines..." + kCrLf));
}

void TestNet::lowestFreeLineIsReused()
{
    Server server;
    const quint16 port = listenOnLoopback(server);
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int i = 1; i <= 5; ++i) {
        clients.push_back(connectClient(server, port));
        QVERIFY(clients.back());
    }
    // Lines 4 and 2 end; the next two clients get 2 and then 4.
    clients[3]->disconnectFromHost();
    clients[1]->disconnectFromHost();
    QTRY_VERIFY(!server.lines().lineInUse(2) && !server.lines().lineInUse(4));
    QCOMPARE(server.table().rowOfLine(2), -1);
    QVERIFY(!server.lines().socket(2));
    auto again = connectClient(server, port);
    QVERIFY(again);
    QCOMPARE(server.table().lineOfRow(server.table().rowCount() - 1), qint16(2));
    auto againToo = connectClient(server, port);
    QVERIFY(againToo);
    QCOMPARE(server.table().lineOfRow(server.table().rowCount() - 1), qint16(4));

    // GetFreeLine claims; FreeLine of a line without a row changes only flags.
    const qint16 claimed = server.lines().GetFreeLine();
    QCOMPARE(claimed, qint16(6));
    QVERIFY(server.lines().lineInUse(6));
    const int rows = server.table().rowCount();
    server.lines().FreeLine(6);
    QVERIFY(!server.lines().lineInUse(6));
    QCOMPARE(server.table().rowCount(), rows);
}

void TestNet::listenerFailuresFreeTheirLine()
{
    Server server;
    const quint16 port = listenOnLoopback(server);
    QVERIFY(port != 0);

    // Same port again: line 1 is claimed, the bind fails, line 1 goes back.
    server.setTxtPort(QString::number(port));
    server.lines().cmdListen_Click();
    QVERIFY2(logText(server).contains("ERROR (listen port):  10048 - "), qPrintable(logText(server)));
    QVERIFY(!server.lines().lineInUse(1));
    QVERIFY(!server.lines().socket(1));
    QCOMPARE(server.table().rowCount(), 1);
    QCOMPARE(server.lines().socket(0)->State(), int(Winsock::sckListening)); // the first goes on

    // A port number beyond 65535 is refused, not wrapped.
    server.setTxtPort(QStringLiteral("70000"));
    server.lines().cmdListen_Click();
    QVERIFY(logText(server).contains("ERROR (listen port):  10049 - Port number out of range"));
    QVERIFY(!server.lines().lineInUse(1));

    // An address of no interface here.
    server.setTxtPort(QStringLiteral("0"));
    server.setTxtIP(QStringLiteral("192.0.2.1"));
    server.lines().cmdListen_Click();
    QVERIFY(logText(server).contains("ERROR (listen port):  10049 - "));
    QVERIFY(!server.lines().lineInUse(1));

    // Another port: a second listener with a row of its own, which takes clients too.
    server.setTxtIP(QStringLiteral("127.0.0.1"));
    server.lines().cmdListen_Click();
    QCOMPARE(server.table().rowCount(), 2);
    QCOMPARE(server.table().cell(1, ConnectionTable::Type), QStringLiteral("Listen"));
    QCOMPARE(server.table().lineOfRow(1), qint16(1));
    const quint16 secondPort = server.lines().socket(1)->LocalPort();
    QVERIFY(secondPort != 0 && secondPort != port);
    auto client = connectClient(server, secondPort);
    QVERIFY(client);
    QVERIFY(logText(server).contains("Connection Request on Winsock # 1" + kCrLf));

    // A failed accept logs, frees its line and leaves no row.
    const int rows = server.table().rowCount();
    emit server.lines().socket(0)->ConnectionRequest(0, -1);
    QVERIFY(logText(server).contains("ERROR (accept connection):  10022 - "));
    QVERIFY(!server.lines().lineInUse(3));
    QVERIFY(!server.lines().socket(3));
    QCOMPARE(server.table().rowCount(), rows);

    // Line 0 stays claimed after its own bind fails; the next listener gets line 3.
    Server second;
    second.log().setEchoToStdout(false);
    second.setTxtIP(QStringLiteral("127.0.0.1"));
    second.setTxtPort(QString::number(port));
    second.lines().cmdListen_Click();
    QVERIFY(logText(second).contains("ERROR (listen port):  10048 - "));
    QVERIFY(second.lines().lineInUse(0));
    QVERIFY(second.lines().socket(0));
    QCOMPARE(second.table().rowCount(), 0);
    second.setTxtPort(QStringLiteral("0"));
    second.lines().cmdListen_Click();
    QCOMPARE(second.table().lineOfRow(0), qint16(1));
}

void TestNet::autoSelectedAddress()
{
    Server server;
    server.log().setEchoToStdout(false);
    server.setTxtIP(QString());
    server.setTxtPort(QStringLiteral("0"));
    server.lines().cmdListen_Click();
    const QString chosen = Winsock::primaryIPv4();
    QVERIFY(logText(server).startsWith("No IP Selected.  Auto-Selecting " + chosen + kCrLf));
    QCOMPARE(server.fields().ip, chosen);
    QCOMPARE(server.MyIP, chosen);
    QVERIFY(server.title().endsWith("[" + chosen + "]"));
    QCOMPARE(server.table().cell(0, ConnectionTable::IPAddress), chosen);
    // Nothing connects to it: only loopback is a target here.
}

void TestNet::closedListenerRowLetsLineZeroListenAgain()
{
    Server server;
    const quint16 port = listenOnLoopback(server);
    auto client = connectClient(server, port);
    QVERIFY(client);

    // Nothing selected: Close does nothing at all.
    server.table().selectionModel()->clearSelection();
    const QString before = logText(server);
    server.lines().cmdClose_Click();
    QCOMPARE(logText(server), before);

    selectOnlyRowOfLine(server, 0);
    server.lines().cmdClose_Click();
    QVERIFY(logText(server).endsWith("User Closed Line # 0 - Listen 127.0.0.1" + kCrLf));
    QVERIFY(!server.lines().lineInUse(0));
    QVERIFY(server.lines().socket(0)); // line 0's object stays
    QCOMPARE(server.table().rowCount(), 1);
    QCOMPARE(client->state(), QAbstractSocket::ConnectedState); // accepted ones stay

    // The port is free again: nobody answers there any more.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, port));
    probe.close();

    server.lines().cmdListen_Click();
    QCOMPARE(server.table().lineOfRow(1), qint16(0));
    QCOMPARE(server.table().cell(1, ConnectionTable::Type), QStringLiteral("Listen"));
    const quint16 newPort = server.lines().socket(0)->LocalPort();
    auto second = connectClient(server, newPort);
    QVERIFY(second);
    QCOMPARE(server.table().lineOfRow(2), qint16(2));
}

void TestNet::lineZeroClientIsGatedAndForcedClosed()
{
    Server server;
    clearBusyOnSendComplete(server);
    listenOnLoopback(server);
    server.lines().cmdListen_Click(); // a second listener on line 1
    const quint16 port1 = server.lines().socket(1)->LocalPort();
    selectOnlyRowOfLine(server, 0);
    server.lines().cmdClose_Click();

    auto onZero = stalledClient(server, port1);
    QVERIFY(onZero);
    QCOMPARE(server.table().lineOfRow(server.table().rowCount() - 1), qint16(0));
    auto onTwo = connectClient(server, port1);
    QVERIFY(onTwo);
    QVERIFY(server.lines().lineInUse(2));

    // A send outstanding on line 0 holds a send to line 2.
    server.lines().SendMsg(0, bigBlock(16 * 1024 * 1024));
    QVERIFY(server.lines().lineBusy(0));
    bool heldWhileZeroBusy = false;
    QTimer::singleShot(0, &server, [&] {
        heldWhileZeroBusy = server.lines().lineBusy(0) && !server.lines().lineBusy(2)
                            && onTwo->bytesAvailable() == 0;
        onZero->abort(); // the peer goes away: line 0 ends, the gate opens
    });
    server.lines().SendMsg(2, "hi");
    QVERIFY(heldWhileZeroBusy);
    QTRY_VERIFY(onTwo->bytesAvailable() == 2);
    QVERIFY(!server.lines().lineInUse(0));
    QVERIFY(logText(server).contains("Line #0 - 127.0.0.1: closed connection." + kCrLf));

    // Line 0 after its client left reports closing and keeps the peer's
    // address, which a failed send names.
    QCOMPARE(server.lines().socket(0)->State(), int(Winsock::sckClosing));
    const qsizetype mark = logText(server).size();
    server.lines().SendMsg(0, "x");
    QCOMPARE(logText(server).mid(mark), "Error sending msg to winsock # 0 - 127.0.0.1" + kCrLf
                                            + "Error: Socket is not connected" + kCrLf);
    // Listen forces it closed first.
    server.lines().cmdListen_Click();
    QVERIFY(logText(server).contains("Forcing Line # 0 closed." + kCrLf + "Listening on 127.0.0.1 - "));
    QCOMPARE(server.lines().socket(0)->State(), int(Winsock::sckListening));
}

void TestNet::peerCloseAfterDataFreesLine()
{
    Server server;
    const quint16 port = listenOnLoopback(server);
    auto client = connectClient(server, port);
    QVERIFY(client);
    const quint16 clientPort = client->localPort();

    QStringList events;
    connect(&server.lines(), &Lines::DataArrival, &server, [&](qint16 line, qint64 total) {
        events << QStringLiteral("data %1 %2 %3").arg(line).arg(total).arg(server.lines().lineInUse(line));
    });
    // Data and the close come in one go: the data is still delivered first,
    // while the line is in use.
    client->write("ab");
    client->disconnectFromHost();
    QTRY_VERIFY(!server.lines().lineInUse(1));
    QCOMPARE(events, QStringList({"data 1 2 1"}));
    QVERIFY(logText(server).endsWith("Line #1 - 127.0.0.1: closed connection." + kCrLf));
    QCOMPARE(server.table().rowOfLine(1), -1);
    QVERIFY(!server.lines().socket(1));
    QVERIFY(!logText(server).contains("Winsock Err"));
    Q_UNUSED(clientPort);

    // The adapter alone: the bytes stay readable in the DataArrival that
    // precedes the close, and the state then reads closing.
    Winsock listener(0);
    SocketError error;
    QVERIFY(listener.Bind(0, QStringLiteral("127.0.0.1"), &error) && listener.Listen(&error));
    std::unique_ptr<Winsock> accepted;
    QByteArray received;
    QStringList order;
    connect(&listener, &Winsock::ConnectionRequest, &server, [&](qint16, qintptr id) {
        accepted = std::make_unique<Winsock>(qint16(4));
        SocketError e;
        QVERIFY(accepted->Accept(id, &e));
        connect(accepted.get(), &Winsock::DataArrival, &server, [&](qint16 index, qint64 total) {
            order << QStringLiteral("data %1 %2").arg(index).arg(total);
            received += accepted->GetData();
        });
        connect(accepted.get(), &Winsock::PeerClosed, &server, [&](qint16 index) {
            order << QStringLiteral("closed %1 %2").arg(index).arg(accepted->State());
        });
    });
    auto peer = connectRaw(listener.LocalPort());
    QTRY_VERIFY(accepted);
    QTRY_COMPARE(peer->state(), QAbstractSocket::ConnectedState);
    peer->write("xyz");
    peer->disconnectFromHost();
    QTRY_COMPARE(order.size(), 2);
    QCOMPARE(order, QStringList({"data 4 3", "closed 4 8"}));
    QCOMPARE(received, QByteArray("xyz"));
    QCOMPARE(accepted->RemoteHostIP(), QStringLiteral("127.0.0.1"));
}

void TestNet::errorEventFreesLine()
{
    Server server;
    const quint16 port = listenOnLoopback(server);
    auto client = connectClient(server, port);
    QVERIFY(client);
    Winsock *socket = server.lines().socket(1);
    QVERIFY(socket);

    server.lines().setLineBusy(1, true);
    emit socket->Error(1, 10053, QStringLiteral("Connection aborted"));
    QVERIFY(logText(server).endsWith(" 1 - Winsock Err #10053 - Connection aborted" + kCrLf));
    QVERIFY(!server.lines().lineInUse(1));
    QVERIFY(!server.lines().lineBusy(1));
    QCOMPARE(server.table().rowOfLine(1), -1);
    QVERIFY(!server.lines().socket(1));
    // The released socket was detached: the client sees its connection end,
    // and no close event comes back for the freed line.
    QSignalSpy gone(client.get(), &QTcpSocket::disconnected);
    QVERIFY(gone.wait(10000));
    flushDeferredDeletes();
    QVERIFY(!logText(server).contains("closed connection."));

    // An error on the listener line keeps line 0's object.
    emit server.lines().socket(0)->Error(0, 10050, QStringLiteral("Network is down"));
    QVERIFY(logText(server).endsWith(" 0 - Winsock Err #10050 - Network is down" + kCrLf));
    QVERIFY(!server.lines().lineInUse(0));
    QVERIFY(server.lines().socket(0));
}

void TestNet::operatorCloseRaisesNoCloseEvent()
{
    Server server;
    const quint16 port = listenOnLoopback(server);
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(connectClient(server, port));
        QVERIFY(clients.back());
    }
    // Three rows selected by themselves; Close walks them from the top.
    QCOMPARE(server.table().selectedLines(), QList<qint16>({1, 2, 3}));
    const qsizetype logBefore = logText(server).size();
    server.lines().cmdClose_Click();
    QCOMPARE(logText(server).mid(logBefore),
             "User Closed Line # 1 - 127.0.0.1" + kCrLf + "User Closed Line # 2 - 127.0.0.1" + kCrLf
                 + "User Closed Line # 3 - 127.0.0.1" + kCrLf);
    QCOMPARE(server.table().rowCount(), 1);
    QVERIFY(server.table().selectedLines().isEmpty());
    for (auto &c : clients)
        QTRY_COMPARE(c->state(), QAbstractSocket::UnconnectedState);
    flushDeferredDeletes();
    QCOMPARE(logText(server).mid(logBefore).count("\r\n"), 3);

    // The adapter alone: Close() and destruction raise no PeerClosed, and
    // a request nobody accepts is closed.
    Winsock listener(0);
    SocketError error;
    QVERIFY(listener.Bind(0, QStringLiteral("127.0.0.1"), &error));
    QCOMPARE(listener.State(), int(Winsock::sckOpen));
    QVERIFY(listener.Listen(&error));
    QCOMPARE(listener.State(), int(Winsock::sckListening));
    QVERIFY(listener.RemoteHostIP().isEmpty());
    std::unique_ptr<Winsock> accepted;
    bool acceptNext = true;
    connect(&listener, &Winsock::ConnectionRequest, &server, [&](qint16, qintptr id) {
        if (!acceptNext)
            return;
        accepted = std::make_unique<Winsock>(qint16(5));
        accepted->setLocalPort(0);
        SocketError e;
        QVERIFY(accepted->Accept(id, &e));
    });
    for (const bool destroy : {false, true}) {
        auto peer = connectRaw(listener.LocalPort());
        QTRY_VERIFY(accepted && accepted->State() == Winsock::sckConnected);
        QCOMPARE(accepted->RemotePort(), peer->localPort());
        QSignalSpy peerClosed(accepted.get(), &Winsock::PeerClosed);
        if (destroy)
            accepted.reset();
        else
            accepted->Close();
        QTRY_COMPARE(peer->state(), QAbstractSocket::UnconnectedState);
        QCoreApplication::processEvents();
        QCOMPARE(peerClosed.count(), 0);
        accepted.reset();
    }
    acceptNext = false;
    auto refused = connectRaw(listener.LocalPort());
    QSignalSpy refusedClosed(refused.get(), &QTcpSocket::disconnected);
    QVERIFY(refusedClosed.wait(10000));
}

void TestNet::gateSerialisesSendsAcrossLines()
{
    Server server;
    clearBusyOnSendComplete(server);
    const quint16 port = listenOnLoopback(server);
    auto one = stalledClient(server, port);
    auto two = connectClient(server, port);
    auto three = connectClient(server, port);
    QVERIFY(one && two && three);

    QStringList order;
    connect(&server.lines(), &Lines::SendComplete, &server,
            [&](qint16 line) { order << QStringLiteral("complete %1").arg(line); });

    server.lines().SendMsg(1, bigBlock(8 * 1024 * 1024));
    QVERIFY(server.lines().lineBusy(1));
    bool heldBack = false;
    QTimer::singleShot(0, &server, [&] {
        heldBack = server.lines().lineBusy(1) && !server.lines().lineBusy(2);
        one->setReadBufferSize(0); // client 1 reads again: its send completes
        QObject::connect(one.get(), &QTcpSocket::readyRead, one.get(), [&] { one->readAll(); });
        one->readAll();
        // A send started inside the outer one's wait goes first; the outer
        // one then waits for it in turn.
        server.lines().SendMsg(3, "inner");
        order << QStringLiteral("sent 3");
    });
    server.lines().SendMsg(2, "outer");
    order << QStringLiteral("sent 2");
    QVERIFY(heldBack);
    QCOMPARE(order, QStringList({"complete 1", "sent 3", "complete 3", "sent 2"}));
    QTRY_COMPARE(two->bytesAvailable(), qint64(5));
    QTRY_COMPARE(three->bytesAvailable(), qint64(5));
    QTRY_VERIFY(!server.lines().lineBusy(2));
}

void TestNet::gateReleasedByCloseOfOutstandingLine()
{
    Server server;
    clearBusyOnSendComplete(server);
    const quint16 port = listenOnLoopback(server);
    auto one = stalledClient(server, port);
    auto two = connectClient(server, port);
    QVERIFY(one && two);

    server.lines().SendMsg(1, bigBlock(8 * 1024 * 1024));
    bool closedInsideWait = false;
    QTimer::singleShot(0, &server, [&] {
        QVERIFY(server.lines().lineBusy(1));
        selectOnlyRowOfLine(server, 1);
        server.lines().cmdClose_Click(); // the operator closes the outstanding line
        closedInsideWait = true;
    });
    server.lines().SendMsg(2, "go");
    QVERIFY(closedInsideWait);
    QVERIFY(!server.lines().lineInUse(1));
    QTRY_COMPARE(two->bytesAvailable(), qint64(2));
    QVERIFY(logText(server).contains("User Closed Line # 1 - 127.0.0.1" + kCrLf));
}

void TestNet::sendToMissingOrUnconnectedLineLogsFailure()
{
    Server server;
    const quint16 port = listenOnLoopback(server);
    QVERIFY(port != 0);

    qsizetype mark = logText(server).size();
    server.lines().SendMsg(7, "x");
    QCOMPARE(logText(server).mid(mark), "Winsock # 7 no longer exists." + kCrLf + "Error: No socket on this line" + kCrLf);
    QVERIFY(!server.lines().lineBusy(7));

    // The listener has no remote address: the short form of the first line.
    mark = logText(server).size();
    server.lines().SendMsg(0, "x");
    QCOMPARE(logText(server).mid(mark), "Error sending msg to winsock # 0" + kCrLf + "Error: Socket is not connected" + kCrLf);
    QVERIFY(!server.lines().lineBusy(0));
    QVERIFY(server.lines().lineInUse(0)); // a failed send releases nothing

}

void TestNet::sendWaitingForReleasedLineNeverReachesNewClient()
{
    Server server;
    clearBusyOnSendComplete(server);
    const quint16 port = listenOnLoopback(server);
    auto one = stalledClient(server, port);
    auto oldTwo = connectClient(server, port);
    QVERIFY(one && oldTwo);

    server.lines().SendMsg(1, bigBlock(8 * 1024 * 1024));
    std::unique_ptr<QTcpSocket> newTwo;
    QTimer::singleShot(0, &server, [&] {
        // Inside the wait: line 2's client leaves, a new one takes line 2,
        // then line 1 ends so the gate opens.
        oldTwo->disconnectFromHost();
        QTRY_VERIFY(!server.lines().lineInUse(2));
        newTwo = connectClient(server, port);
        QVERIFY(newTwo);
        QVERIFY(server.lines().lineInUse(2));
        one->abort();
    });
    const std::uint64_t generation = server.lines().generation(2);
    const qsizetype mark = logText(server).size();
    server.lines().SendMsg(2, "old", generation);
    QVERIFY(newTwo);
    QVERIFY(logText(server).mid(mark).contains("Winsock # 2 no longer exists." + kCrLf + "Error: "));
    // Whatever reaches the new client now is only what is meant for it.
    server.lines().SendMsg(2, "new");
    QTRY_COMPARE(newTwo->bytesAvailable(), qint64(3));
    QCOMPARE(newTwo->readAll(), QByteArray("new"));
}

void TestNet::emptySendCompletesLater()
{
    Server server;
    const quint16 port = listenOnLoopback(server);
    auto client = connectClient(server, port);
    QVERIFY(client);
    Winsock *socket = server.lines().socket(1);

    QSignalSpy complete(socket, &Winsock::SendComplete);
    QSignalSpy progress(socket, &Winsock::SendProgress);
    SocketError error;
    QVERIFY(socket->SendData(QByteArray(), &error));
    QCOMPARE(complete.count(), 0); // never from inside SendData
    QVERIFY(complete.wait(10000));
    QCOMPARE(complete.count(), 1);
    QCOMPARE(progress.count(), 0);

    QVERIFY(socket->SendData("abcd", &error));
    QCOMPARE(complete.count(), 1);
    QTRY_COMPARE(complete.count(), 2);
    QVERIFY(!progress.isEmpty());
    QCOMPARE(progress.last().at(0).value<qint16>(), qint16(1));
    QCOMPARE(progress.last().at(1).toLongLong(), qint64(4));  // sent
    QCOMPARE(progress.last().at(2).toLongLong(), qint64(0));  // remaining
    QTRY_COMPARE(client->bytesAvailable(), qint64(4));

    // Through the gate: busy from the hand-over until the completion.
    clearBusyOnSendComplete(server);
    server.lines().SendMsg(1, QByteArray());
    QVERIFY(server.lines().lineBusy(1));
    QTRY_VERIFY(!server.lines().lineBusy(1));

    // An unconnected socket refuses.
    Winsock idle(9);
    QVERIFY(!idle.SendData("x", &error));
    QCOMPARE(error.number, 10057);
    QCOMPARE(idle.State(), int(Winsock::sckClosed));
    QVERIFY(idle.RemoteHostIP().isEmpty());
}

void TestNet::nestedDataArrivalOnSameLine()
{
    Server server;
    const quint16 port = listenOnLoopback(server);
    auto client = connectClient(server, port);
    QVERIFY(client);

    int depth = 0, maxDepth = 0, calls = 0;
    connect(&server.lines(), &Lines::DataArrival, &server, [&](qint16 line, qint64) {
        QCOMPARE(line, qint16(1));
        ++calls;
        ++depth;
        maxDepth = std::max(maxDepth, depth);
        if (Winsock *s = server.lines().socket(line))
            s->GetData();
        if (calls == 1) {
            // Wait here, as a reply in the send gate would, while the client
            // sends more on the same line.
            client->write("def");
            QTRY_VERIFY(calls >= 2);
        }
        --depth;
    });
    client->write("abc");
    QTRY_VERIFY(calls >= 2);
    QCOMPARE(maxDepth, 2);
}

void TestNet::deeplyNestedArrivalsFromManyLines()
{
    Server server;
    const quint16 port = listenOnLoopback(server);
    constexpr int kClients = 20;
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(connectClient(server, port));
        QVERIFY(clients.back());
    }
    // Every handler waits until all have run; each one lets the next client
    // speak, so the handlers end up nested twenty deep.
    int depth = 0, maxDepth = 0, calls = 0;
    QList<qint16> lines;
    connect(&server.lines(), &Lines::DataArrival, &server, [&](qint16 line, qint64) {
        ++calls;
        ++depth;
        maxDepth = std::max(maxDepth, depth);
        lines << line;
        if (calls < kClients)
            clients[size_t(calls)]->write("x");
        QTRY_VERIFY_WITH_TIMEOUT(calls >= kClients, 20000);
        --depth;
    });
    clients[0]->write("x");
    QTRY_VERIFY_WITH_TIMEOUT(calls >= kClients && depth == 0, 30000);
    QCOMPARE(maxDepth, kClients);
    std::sort(lines.begin(), lines.end());
    QCOMPARE(lines.size(), kClients);
    for (int i = 0; i < kClients; ++i)
        QCOMPARE(lines[i], qint16(i + 1));
}

void TestNet::blockedGateDoesNotSpin()
{
    Server server;
    clearBusyOnSendComplete(server);
    const quint16 port = listenOnLoopback(server);
    auto one = stalledClient(server, port);
    auto two = connectClient(server, port);
    QVERIFY(one && two);
    server.lines().SendMsg(1, bigBlock(8 * 1024 * 1024));
    // Let the kernel buffers fill and the traffic settle.
    QTRY_VERIFY(one->bytesAvailable() >= 4096);

    const quint64 roundsBefore = server.lines().gateWaitRounds();
    QTimer::singleShot(300, &server, [&] { one->abort(); });
    server.lines().SendMsg(2, "ok");
    const quint64 rounds = server.lines().gateWaitRounds() - roundsBefore;
    QVERIFY2(rounds < 50, qPrintable(QStringLiteral("gate looped %1 times").arg(rounds)));
    QTRY_COMPARE(two->bytesAvailable(), qint64(2));
}

void TestNet::exitReleasesWaitingSend()
{
    Server server;
    clearBusyOnSendComplete(server);
    const quint16 port = listenOnLoopback(server);
    auto one = stalledClient(server, port);
    auto two = connectClient(server, port);
    QVERIFY(one && two);
    server.lines().SendMsg(1, bigBlock(8 * 1024 * 1024));
    QTimer::singleShot(0, &server, [&] { server.beginExit(); });
    const qsizetype mark = logText(server).size();
    server.lines().SendMsg(2, "dropped");
    QVERIFY(server.exiting());
    QCOMPARE(logText(server).mid(mark), QString()); // dropped without a word
    // Every socket closed, and no close events afterwards.
    one->setReadBufferSize(0);
    connect(one.get(), &QTcpSocket::readyRead, one.get(), [&] { one->readAll(); });
    one->readAll();
    QTRY_COMPARE_WITH_TIMEOUT(one->state(), QAbstractSocket::UnconnectedState, 20000);
    QTRY_COMPARE(two->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(two->bytesAvailable(), qint64(0));
    QVERIFY(!logText(server).contains("closed connection."));
}

void TestNet::noDescriptorLeakOverManyConnections()
{
    Server server;
    const quint16 port = listenOnLoopback(server);
    flushDeferredDeletes();
    const int before = openDescriptorCount();
    if (before < 0)
        QSKIP("no /proc/self/fd here");
    for (int i = 0; i < 1000; ++i) {
        auto client = connectClient(server, port);
        QVERIFY2(client, qPrintable(QStringLiteral("cycle %1").arg(i)));
        client->disconnectFromHost();
        QTRY_VERIFY(!server.lines().lineInUse(1));
        client.reset();
        if (i % 100 == 99)
            flushDeferredDeletes();
    }
    flushDeferredDeletes();
    QCOMPARE(openDescriptorCount(), before);
    QCOMPARE(server.table().rowCount(), 1);
}

QTEST_GUILESS_MAIN(TestNet)
#include "tst_net.moc"
