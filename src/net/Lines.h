#pragma once
// The pool of 101 lines (0..100) with their socket slots, the send gate
// through which every byte to a client passes, listening and accepting
// connections, the line events (peer close, error, connect) and the
// operator's close of selected rows. The class is split by concern over
// LinePool.cpp, SendGate.cpp, Listener.cpp and LineEvents.cpp.
//
// Services: everything Lines needs from the program around it (the operator
// log, the exit flag, the wait for events) comes through LineServices. Lines
// writes no application state: a listener that has started is announced by
// the listenStarted signal, and whoever wired Lines in decides what the
// program makes of it (the address it shows, the window title).
//
// Re-entrancy: SendMsg and SendFilePiece wait (through
// LineServices::waitForEvents, blocking in the event loop, never spinning)
// while a send is outstanding on any line; any handler can run inside that wait, including a nested SendMsg,
// a close of the very line being waited for, a new connection claiming a just-released line, and the
// operator's actions. A line's generation changes on every release, so a caller that waited can tell that
// "its" line is gone even when it was claimed again. The SendProgress and SendComplete signals can be raised
// from inside SendMsg and SendFilePiece (a piece the OS took whole): their handlers must not wait. The other
// routines never wait, and neither may the handlers of the signals that report how the lines change
// (listenStarted, listenFailed, connectionAccepted, lineReleased).
//
// Ownership: Lines owns the Active Connections table and the 101 socket
// slots. Slot 0 lives as long as Lines; slots 1..100 hold a socket from the
// claim of their line to its release. A released socket is detached (it
// reports nothing more) and deleted later through the event loop, since its
// own event handler or a wait further down the stack may still be running;
// its slot is empty from the moment of FreeLine, so nobody can reach it any
// more.
//
// Port numbers: the port field's leading number (after blanks, with an
// optional sign) is the port; a text that begins with no number gives port
// 0. A number outside 0..65535 is not wrapped or clipped: listening fails
// with "ERROR (listen port): " and error 10049, as a bind to an unusable
// address.

#include "net/LineServices.h"

#include <QObject>
#include <QString>
#include <array>
#include <chrono>
#include <cstdint>
#include <memory>

class ConnectionAdmission;
class ConnectionTable;
class Winsock;

class Lines : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Lines)
public:
    static constexpr int kLineCount = 101;
    // A line number of the pool (0..100). Events and signals carry line
    // numbers that their handlers check with this before indexing.
    static constexpr bool validLine(qint16 line) { return line >= 0 && line < kLineCount; }

    explicit Lines(LineServices services, QObject *parent = nullptr);
    ~Lines() override;

    ConnectionTable &table() { return *mTable; }
    const ConnectionTable &table() const { return *mTable; }

    // --- pool -----------------------------------------------------------------
    qint16 GetFreeLine();              // lowest free line, claimed; -1 if none
    void FreeLine(qint16 line);        // flag off, row removed, socket (line > 0) destroyed
    bool lineInUse(qint16 line) const; // mLineInUse
    bool lineBusy(qint16 line) const;  // mLineBusy
    // Public for one caller beyond the gate: the protocol's SendComplete
    // handler clears the flag, which is what lets the gate hand over the
    // next send. The gate and the line events set and clear it themselves.
    void setLineBusy(qint16 line, bool busy);
    // Changes on every release of the line.
    std::uint64_t generation(qint16 line) const;
    Winsock *socket(qint16 line) const; // empty slot: nullptr
    // How long a line may hold bytes its peer takes none of before it ends
    // with error 10060, each line on its own clock (Winsock::kStallLimit;
    // tests and a start-up setting shorten it).
    // Applies to every line, those in use and those claimed later; a limit
    // that is running starts again with the new length.
    void setStallLimit(std::chrono::milliseconds limit);

    // --- send gate ------------------------------------------------------------
    // Waits until no send is outstanding on any line, then hands data to the
    // line's socket and marks the line busy. Failures are logged. When
    // expectedGeneration is given and the line was released since, the send
    // takes the failure path as if the socket no longer existed.
    void SendMsg(qint16 line, const QByteArray &data);
    void SendMsg(qint16 line, const QByteArray &data, std::uint64_t expectedGeneration);
    // The same gate for up to `length` bytes of an open file from `offset`
    // on (Winsock::SendFile): the same wait, busy flag, events and failure
    // log lines as SendMsg. Returns how many bytes of the piece were handed
    // on; fewer than `length` when the socket took only part of it (the
    // rest is the next piece's: a piece it took none of keeps the gate shut
    // until the socket has room), or when the file ended or failed within
    // the piece: *fileError then says why, and is emptied otherwise. A piece
    // the gate's failure path dropped, or one dropped at exit, counts whole,
    // as a dropped text does. The descriptor stays the caller's.
    qint64 SendFilePiece(qint16 line, int file, qint64 offset, qint64 length,
                         std::uint64_t expectedGeneration, QString *fileError);

    // --- listener and connections ---------------------------------------------
    // ipField and portField are the IP address and local port fields as the
    // window holds them; an empty ipField picks the machine's address.
    void cmdListen_Click(const QString &ipField, const QString &portField);
    void cmdClose_Click();
    // Who may connect (ConnectionAdmission.h); by default every address, as
    // many lines as are free. Asked at every connection request.
    ConnectionAdmission &admission();
    // Ends a client's connection on the program's own account: the line and
    // its row go as with the operator's close, without its log line and
    // without a Close event. Only while the line still holds the connection
    // of that generation, and never a listener. Returns whether it closed.
    bool closeLine(qint16 line, std::uint64_t expectedGeneration);

    // Exit: closes every socket without raising events; sends stop waiting.
    void closeAllSilently();

    // Sign-padded decimal of the log lines and table cells: " 7" for 7, "-1" for -1.
    static QString signPadded(qint64 number)
    {
        return number < 0 ? QString::number(number) : QStringLiteral(" ") + QString::number(number);
    }

    // How many times send gates have gone back to waiting for events; tells
    // a test that a blocked gate sleeps instead of spinning.
    quint64 gateWaitRounds() const { return mGateWaitRounds; }

signals:
    // A listener has started on the line: raised after a successful Listen,
    // before the "Listening on" log line, while the line's socket reports its
    // local address. It carries the start as the operator must understand
    // it: the address as it was bound ("0.0.0.0" or "::" for every
    // interface), the port, and whether the port field named no port (it
    // read as 0), so that the system chose one no client knows.
    void listenStarted(qint16 line, const QString &boundAddress, quint16 port, bool portChosenBySystem);
    // A Listen action failed, after its "ERROR (listen port): " log line.
    void listenFailed(int number, const QString &description);
    // A client's connection was accepted on this line and its row added.
    void connectionAccepted(qint16 line);
    // The line was released: its listener or connection, if any, is gone.
    void lineReleased(qint16 line);
    // Forwarded socket events handled by the protocol.
    void DataArrival(qint16 line, qint64 bytesTotal);
    void SendProgress(qint16 line, qint64 bytesSent, qint64 bytesRemaining);
    void SendComplete(qint16 line);

private:
    // Handlers of the socket events.
    void Winsock_ConnectionRequest(qint16 index, qintptr requestID);
    void Winsock_AcceptPaused(qint16 index, bool paused);
    void Winsock_Close(qint16 line);
    void Winsock_Error(qint16 line, int number, const QString &description);
    void Winsock_Connect(qint16 line);

    void AddLog(const QString &msg) { mServices.log(msg); }
    Winsock *createSocket(qint16 line);
    void releaseSocket(qint16 line);
    // The gate's wait and its checks of the line: the line's socket, marked
    // busy, when the hand-over may go ahead; nullptr when it may not (the
    // failure logged, or the server exiting).
    Winsock *passGate(qint16 line, std::uint64_t expectedGeneration);
    void sendFailed(qint16 line, const QString &description);
    // Lines whose connection's peer is this address (as RemoteHostIP shows it).
    int linesHeldBy(const QString &address) const;

    LineServices mServices;
    std::unique_ptr<ConnectionTable> mTable;
    std::array<qint16, kLineCount> mLineInUse{};
    std::array<bool, kLineCount> mLineBusy{};
    int mBusyCount = 0; // set entries of mLineBusy
    std::array<std::uint64_t, kLineCount> mGeneration{};
    std::array<Winsock *, kLineCount> mWinsock{};
    std::chrono::milliseconds mStallLimit;
    quint64 mGateWaitRounds = 0;
    std::unique_ptr<ConnectionAdmission> mAdmission; // made when first asked for
};
