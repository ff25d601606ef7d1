// Starting listeners and turning connection requests into lines.
#include "net/Lines.h"

#include "net/ConnectionAdmission.h"
#include "net/ConnectionTable.h"
#include "net/DecimalText.h"
#include "net/PlatformSocket.h"
#include "net/Winsock.h"

namespace {

// The port a port field names: its leading number, 0 when it begins with
// none, -1 when that number is outside 0..65535.
int portFromText(const QString &text)
{
    const qint64 value = leadingDecimal(text).value_or(0);
    return value < 0 || value > 65535 ? -1 : int(value);
}

} // namespace

void Lines::cmdListen_Click(const QString &ipField, const QString &portField)
{
    const qint16 line = GetFreeLine();
    if (line < 0) {
        AddLog(QStringLiteral("No Free Lines..."));
        return;
    }
    Winsock *socket = line > 0 ? createSocket(line) : mWinsock[0];
    if (socket->State() == Winsock::sckClosing) {
        AddLog(QStringLiteral("Forcing Line #") + signPadded(line) + QStringLiteral(" closed."));
        socket->Close();
    }

    QString address = ipField;
    if (address.isEmpty()) {
        address = socket->LocalIP();
        AddLog(QStringLiteral("No IP Selected.  Auto-Selecting ") + address);
    }

    // A failed bind and a failed listen end alike: logged, and a line above 0
    // goes back to the pool with its socket; line 0 stays claimed.
    auto fail = [&](const SocketError &error) {
        AddLog(QStringLiteral("ERROR (listen port): ") + signPadded(error.number) + QStringLiteral(" - ")
               + error.description);
        if (line > 0)
            FreeLine(line); // it has no row yet: this only gives the line and its socket back
        else
            socket->Close();
        emit listenFailed(error.number, error.description);
    };

    const int port = portFromText(portField);
    SocketError error;
    if (port < 0) {
        fail(SocketError{10049,
                         QStringLiteral("Port number out of range (0 to 65535): ") + portField.trimmed()});
        return;
    }
    if (!socket->Bind(static_cast<quint16>(port), address, &error)) {
        fail(error);
        return;
    }
    if (!socket->Listen(&error)) {
        fail(error);
        return;
    }

    const QString localIP = socket->LocalIP();
    const quint16 localPort = socket->LocalPort();
    emit listenStarted(line, address, localPort, port == 0);
    AddLog(QStringLiteral("Listening on ") + localIP + QStringLiteral(" - ") + QString::number(localPort));
    mTable->addListenerRow(line, localIP, localPort);
}

ConnectionAdmission &Lines::admission()
{
    if (!mAdmission)
        mAdmission = std::make_unique<ConnectionAdmission>([this](const QString &msg) { AddLog(msg); });
    return *mAdmission;
}

int Lines::linesHeldBy(const QString &address) const
{
    int held = 0;
    for (int line = 0; line < kLineCount; ++line) {
        if (mLineInUse[line] && mWinsock[line] && mWinsock[line]->RemoteHostIP() == address)
            ++held;
    }
    return held;
}

void Lines::Winsock_ConnectionRequest(qint16 index, qintptr requestID)
{
    // Decided before anything else, with a log of its own that stays
    // bounded however often a host retries. A request's identifier is its
    // pending descriptor; one not taken is closed when this returns. An
    // orderly close, not a reset: a client whose connect is still in
    // progress when a reset comes can be left waiting (Qt's own sockets are),
    // while the close ends its connection at once.
    if (mAdmission && mAdmission->rule().restricts()
        && !mAdmission->admit(PlatformSocket::peerAddress(requestID),
                              [this](const QString &address) { return linesHeldBy(address); }))
        return;
    AddLog(QStringLiteral("Connection Request on Winsock #") + signPadded(index));
    const qint16 line = GetFreeLine();
    if (line < 0) {
        // Not accepted: the listener closes the pending connection.
        AddLog(QStringLiteral("No free lines to answer connection."));
        return;
    }
    Winsock *socket = line > 0 ? createSocket(line) : mWinsock[0];
    socket->setLocalPort(0);
    SocketError error;
    if (!socket->Accept(requestID, &error)) {
        // Logged like a failed listen; the listener closes the pending
        // connection since nobody took it.
        AddLog(QStringLiteral("ERROR (accept connection): ") + signPadded(error.number)
               + QStringLiteral(" - ") + error.description);
        if (line > 0)
            FreeLine(line); // it has no row yet: this only gives the line and its socket back
        return;
    }
    // The connection is this line's now: the listener must not close it.
    if (Winsock *listener = this->socket(index))
        listener->requestTaken(requestID);
    mTable->addConnectionRow(line, socket->RemoteHostIP(), socket->LocalPort(), socket->RemotePort());
    emit connectionAccepted(line);
    AddLog(QStringLiteral("Accepted on ") + socket->LocalIP() + QStringLiteral(" - ")
           + QString::number(socket->LocalPort()));
    AddLog(QStringLiteral("Accepted to ") + socket->RemoteHostIP() + QStringLiteral(" - ")
           + QString::number(socket->RemotePort()));
}

// Once each time the process runs short of descriptors: the listener holds
// requests back (they wait in the OS's backlog) rather than spin or fail.
void Lines::Winsock_AcceptPaused(qint16 index, bool paused)
{
    AddLog(paused ? QStringLiteral("Too few file descriptors free: connection requests on Winsock #")
                           + signPadded(index) + QStringLiteral(" wait.")
                  : QStringLiteral("File descriptors free again: answering connection requests on Winsock #")
                           + signPadded(index) + QStringLiteral("."));
}
