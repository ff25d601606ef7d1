#pragma once
// The pool of 101 lines (0..100) with their socket slots, the send gate
// through which every byte to a client passes, listening and accepting
// connections, the line events (peer close, error, connect) and the
// operator's close of selected rows.
//
// Re-entrancy: SendMsg waits (blocking in the event loop, never spinning)
// while a send is outstanding on any line; any handler can run inside that
// wait, including a nested SendMsg, a close of the very line being waited
// for, a new connection claiming a just-released line, and the operator's
// actions. A line's generation changes on every release, so a caller that
// waited can tell that "its" line is gone even when it was claimed again.
// The other routines never wait.

#include <QObject>
#include <array>
#include <cstdint>

class Server;
class Winsock;

class Lines : public QObject {
    Q_OBJECT
public:
    static constexpr int kLineCount = 101;

    explicit Lines(Server &server);
    ~Lines() override;

    // --- pool -----------------------------------------------------------------
    qint16 GetFreeLine();                 // lowest free line, claimed; -1 if none
    void FreeLine(qint16 line);           // flag off, row removed, socket (line > 0) destroyed
    bool lineInUse(qint16 line) const;    // mLineInUse
    bool lineBusy(qint16 line) const;     // mLineBusy
    void setLineBusy(qint16 line, bool busy);
    // Changes on every release of the line.
    std::uint64_t generation(qint16 line) const;
    Winsock *socket(qint16 line) const;   // empty slot: nullptr

    // --- send gate ------------------------------------------------------------
    // Waits until no send is outstanding on any line, then hands data to the
    // line's socket and marks the line busy. Failures are logged. When
    // expectedGeneration is given and the line was released since, the send
    // takes the failure path as if the socket no longer existed.
    void SendMsg(qint16 line, const QByteArray &data);
    void SendMsg(qint16 line, const QByteArray &data, std::uint64_t expectedGeneration);

    // --- listener and connections ---------------------------------------------
    void cmdListen_Click();
    void cmdClose_Click();

    // Exit: closes every socket without raising events; sends stop waiting.
    void closeAllSilently();

signals:
    // Forwarded socket events handled by the protocol.
    void DataArrival(qint16 line, qint64 bytesTotal);
    void SendProgress(qint16 line, qint64 bytesSent, qint64 bytesRemaining);
    void SendComplete(qint16 line);

private:
    // Handlers of the socket events.
    void Winsock_ConnectionRequest(qint16 index, qintptr requestID);
    void Winsock_Close(qint16 line);
    void Winsock_Error(qint16 line, int number, const QString &description);
    void Winsock_Connect(qint16 line);

    Server &mServer;
    // Implementation fields are added by the implementation.
};
