#pragma once
// The command interpreter (DataArrival handler) with the one receive buffer
// mCmdBuffer and the one TransferState, and the reply senders: DoSend to every
// selected line, DoSendList and DoSendFile streaming to the line of the last
// selected row, and the SendProgress / SendComplete handlers that keep the
// table's transfer cells and pace every stream.
//
// Re-entrancy: DoSend waits in the send gate; DoSendList and DoSendFile let
// events through before every piece and wait in the gate. Any handler runs
// inside those waits, including Winsock_DataArrival for any line (nested
// runs), closes of the target line, and the operator's actions.

#include <QByteArray>
#include <QObject>

class Server;

class Interpreter : public QObject {
    Q_OBJECT
public:
    explicit Interpreter(Server &server);
    ~Interpreter() override;

    void Winsock_DataArrival(qint16 line, qint64 bytesTotal);
    void Winsock_SendProgress(qint16 line, qint64 bytesSent, qint64 bytesRemaining);
    void Winsock_SendComplete(qint16 line);

    void DoSend(const QByteArray &text);
    void DoSendList();
    void DoSendFile(const QByteArray &path);

    qint16 TransferState = 0;   // 0 idle, 1 "SONG " read, 2 song being sent
    qint64 SongSize = 0;
    QByteArray mCmdBuffer;

private:
    Server &mServer;
    // Implementation fields are added by the implementation.
};
