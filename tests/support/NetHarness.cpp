#include "NetHarness.h"

#include <QDir>
#include <QTest>

namespace NetHarness {

quint16 listenOnLoopback(Server &server)
{
    server.log().setEchoToStdout(false);
    server.table().addColumns();
    server.setTxtIP(QStringLiteral("127.0.0.1"));
    server.setTxtPort(QStringLiteral("0"));
    server.lines().cmdListen_Click();
    const Winsock *listener = server.lines().socket(0);
    return listener->State() == Winsock::sckListening ? listener->LocalPort() : 0;
}

std::unique_ptr<QTcpSocket> connectClient(Server &server, quint16 port, qint64 readBufferSize)
{
    const int rowsBefore = server.table().rowCount();
    auto client = std::make_unique<QTcpSocket>();
    client->setReadBufferSize(readBufferSize);
    client->connectToHost(QStringLiteral("127.0.0.1"), port);
    const bool accepted = QTest::qWaitFor([&] {
        return client->state() == QAbstractSocket::ConnectedState && server.table().rowCount() > rowsBefore;
    }, 10000);
    return accepted ? std::move(client) : nullptr;
}

QString logText(Server &server)
{
    return server.log().logPane().text();
}

int openDescriptorCount()
{
    const QDir fds(QStringLiteral("/proc/self/fd"));
    return fds.exists() ? int(fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size()) : -1;
}

} // namespace NetHarness
