#include "NetHarness.h"

#include "app/OperatorLog.h"
#include "app/Server.h"
#include "net/ConnectionTable.h"
#include "net/Lines.h"
#include "net/Winsock.h"

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QTest>

namespace NetHarness {

quint16 listenOnLoopback(Server &server)
{
    server.log().setEchoToStdout(false);
    server.table().addColumns();
    server.setTxtIP(QStringLiteral("127.0.0.1"));
    server.setTxtPort(QStringLiteral("0"));
    server.lines().cmdListen_Click();
    Winsock *listener = server.lines().socket(0);
    if (!listener || listener->State() != Winsock::sckListening)
        return 0;
    return listener->LocalPort();
}

void clearBusyOnSendComplete(Server &server)
{
    Lines *lines = &server.lines();
    QObject::connect(lines, &Lines::SendComplete, lines,
                     [lines](qint16 line) { lines->setLineBusy(line, false); });
}

std::unique_ptr<QTcpSocket> connectRaw(quint16 port)
{
    auto client = std::make_unique<QTcpSocket>();
    client->connectToHost(QStringLiteral("127.0.0.1"), port);
    return client;
}

std::unique_ptr<QTcpSocket> connectClient(Server &server, quint16 port)
{
    const int rowsBefore = server.table().rowCount();
    auto client = connectRaw(port);
    const bool accepted = QTest::qWaitFor([&] {
        return client->state() == QAbstractSocket::ConnectedState
               && server.table().rowCount() > rowsBefore;
    }, 10000);
    if (!accepted)
        return nullptr;
    return client;
}

QString logText(Server &server)
{
    return server.log().logPane().text();
}

int openDescriptorCount()
{
    QDir fds(QStringLiteral("/proc/self/fd"));
    if (!fds.exists())
        return -1;
    return int(fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
}

void flushDeferredDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace NetHarness
