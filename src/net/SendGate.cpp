// The send gate: the one path by which any byte reaches a client, one send
// outstanding at a time over all lines, and its failure path.
#include "net/Lines.h"

#include "net/Winsock.h"

void Lines::SendMsg(qint16 line, const QByteArray &data)
{
    SendMsg(line, data, generation(line));
}

void Lines::SendMsg(qint16 line, const QByteArray &data, std::uint64_t expectedGeneration)
{
    Winsock *socket = passGate(line, expectedGeneration);
    if (!socket)
        return;
    SocketError error;
    if (!socket->SendData(data, &error))
        sendFailed(line, error.description);
}

qint64 Lines::SendFilePiece(qint16 line, int file, qint64 offset, qint64 length,
                            std::uint64_t expectedGeneration, QString *fileError)
{
    if (fileError)
        fileError->clear();
    Winsock *socket = passGate(line, expectedGeneration);
    if (!socket)
        return length;
    Winsock::FilePiece piece;
    SocketError error;
    if (!socket->SendFile(file, offset, length, &piece, &error)) {
        sendFailed(line, error.description);
        return length;
    }
    // The file gave nothing, so nothing was sent and no completion will
    // come to clear the flag. (A piece the socket had no room for gave
    // nothing either, but stays outstanding until it has.)
    if (piece.bytes == 0 && !piece.fileError.isEmpty())
        setLineBusy(line, false);
    if (fileError)
        *fileError = piece.fileError;
    return piece.bytes;
}

Winsock *Lines::passGate(qint16 line, std::uint64_t expectedGeneration)
{
    // Every line counts, line 0 too: a client there must be paced like any other.
    while (mBusyCount > 0) {
        if (mServices.exiting())
            return nullptr;
        ++mGateWaitRounds;
        mServices.waitForEvents();
    }
    if (mServices.exiting())
        return nullptr;

    if (!validLine(line)) {
        AddLog(QStringLiteral("Winsock #") + signPadded(line) + QStringLiteral(" no longer exists."));
        AddLog(QStringLiteral("Error: No such line"));
        return nullptr;
    }
    Winsock *socket = mWinsock[line];
    if (!socket || mGeneration[line] != expectedGeneration) {
        // Released while the send waited (perhaps claimed again since): the
        // bytes were meant for a connection that is gone.
        setLineBusy(line, false);
        AddLog(QStringLiteral("Winsock #") + signPadded(line) + QStringLiteral(" no longer exists."));
        AddLog(QStringLiteral("Error: ")
               + (socket ? QStringLiteral("The connection the data was meant for has ended")
                         : QStringLiteral("No socket on this line")));
        return nullptr;
    }
    // Busy before the hand-over: a send the OS takes whole completes inside
    // the hand-over, and its completion clears the flag again.
    setLineBusy(line, true);
    return socket;
}

void Lines::sendFailed(qint16 line, const QString &description)
{
    setLineBusy(line, false);
    const QString remote = mWinsock[line] ? mWinsock[line]->RemoteHostIP() : QString();
    if (remote.trimmed().isEmpty())
        AddLog(QStringLiteral("Error sending msg to winsock #") + signPadded(line));
    else
        AddLog(QStringLiteral("Error sending msg to winsock #") + signPadded(line) + QStringLiteral(" - ")
               + remote);
    AddLog(QStringLiteral("Error: ") + description);
}
