#include "NetHarness.h"

#include <QTest>

namespace NetHarness {

quint16 listenOnLoopback(Server &server, quint16 port)
{
    server.log().setEchoToStdout(false);
    server.table().addColumns();
    server.setTxtIP(QStringLiteral("127.0.0.1"));
    server.setTxtPort(QString::number(port));
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
    const auto accepted = [&] { return client->state() == QAbstractSocket::ConnectedState && server.table().rowCount() > rowsBefore; };
    return QTest::qWaitFor(accepted, 10000) ? std::move(client) : nullptr;
}

} // namespace NetHarness
