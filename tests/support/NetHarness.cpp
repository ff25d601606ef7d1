#include "NetHarness.h"

#include <QCoreApplication>
#include <QItemSelectionModel>
#include <QTest>

namespace NetHarness {

LineServices loopbackServices(std::function<void(const QString &)> log, const bool &exiting)
{
    return {std::move(log), [&exiting] { return exiting; },
            [&exiting] {
                if (!exiting)
                    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
            }};
}

quint16 listenOnLoopback(Lines &lines, quint16 port)
{
    lines.table().addColumns();
    lines.cmdListen_Click(QStringLiteral("127.0.0.1"), QString::number(port));
    const Winsock *listener = lines.socket(0);
    return listener->State() == Winsock::sckListening ? listener->LocalPort() : 0;
}

std::unique_ptr<QTcpSocket> connectClient(Lines &lines, quint16 port, qint64 readBufferSize,
                                          int receiveBuffer)
{
    const int rowsBefore = lines.table().rowCount();
    auto client = std::make_unique<QTcpSocket>();
    client->setReadBufferSize(readBufferSize);
    if (receiveBuffer > 0) {
        client->bind(QHostAddress::LocalHost);
        client->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, receiveBuffer);
    }
    client->connectToHost(QStringLiteral("127.0.0.1"), port);
    const auto accepted = [&] {
        return client->state() == QAbstractSocket::ConnectedState && lines.table().rowCount() > rowsBefore;
    };
    return QTest::qWaitFor(accepted, 10000) ? std::move(client) : nullptr;
}

GateHolder::GateHolder(Lines &lines, quint16 port) : mLines(lines)
{
    mSocket = connectClient(lines, port, 4096, 64 << 10);
    if (!mSocket)
        return;
    ConnectionTable &table = lines.table();
    const int row = table.rowCount() - 1;
    mLine = table.lineOfRow(row);
    table.selectionModel()->select(table.model()->index(row, 0),
                                   QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
    QObject::connect(mSocket.get(), &QTcpSocket::readyRead, mSocket.get(), [this] {
        if (mReading)
            mSocket->readAll();
    });
}

bool GateHolder::shut()
{
    if (!mSocket)
        return false;
    mReading = false;
    mSocket->setReadBufferSize(4096);
    mLines.SendMsg(mLine, QByteArray(16 << 20, 'h'));
    return mLines.lineBusy(mLine);
}

void GateHolder::open()
{
    if (!mSocket)
        return;
    mReading = true;
    mSocket->setReadBufferSize(0);
    mSocket->readAll();
}

} // namespace NetHarness
