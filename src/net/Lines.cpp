#include "net/Lines.h"

#include "app/Server.h"
#include "net/ConnectionTable.h"
#include "net/DecimalText.h"
#include "net/Winsock.h"

Lines::Lines(Server &server) : mServer(server), mStallLimit(Winsock::kStallLimit)
{
    mWinsock[0] = createSocket(0);
}

Lines::~Lines()
{
    for (Winsock *&socket : mWinsock) {
        if (socket) {
            socket->detach();
            delete socket;
            socket = nullptr;
        }
    }
}

QString Lines::signPadded(qint64 number)
{
    return number < 0 ? QString::number(number) : QStringLiteral(" ") + QString::number(number);
}

int Lines::portFromText(const QString &text)
{
    const qint64 value = leadingDecimal(text).value_or(0);
    return value < 0 || value > 65535 ? -1 : int(value);
}

// --- pool ---------------------------------------------------------------------

qint16 Lines::GetFreeLine()
{
    for (int line = 0; line < kLineCount; ++line) {
        if (mLineInUse[line] == 0) {
            mLineInUse[line] = 1;
            return static_cast<qint16>(line);
        }
    }
    return -1;
}

void Lines::FreeLine(qint16 line)
{
    if (!validLine(line))
        return;
    mLineInUse[line] = 0;
    ++mGeneration[line];
    // A busy flag left on a released line would hold every send for ever:
    // nothing could complete it any more.
    setLineBusy(line, false);
    mServer.table().removeRowOfLine(line);
    if (line > 0)
        releaseSocket(line);
}

bool Lines::lineInUse(qint16 line) const
{
    return validLine(line) && mLineInUse[line] != 0;
}

bool Lines::lineBusy(qint16 line) const
{
    return validLine(line) && mLineBusy[line];
}

void Lines::setLineBusy(qint16 line, bool busy)
{
    if (!validLine(line) || mLineBusy[line] == busy)
        return;
    mLineBusy[line] = busy;
    mBusyCount += busy ? 1 : -1;
}

std::uint64_t Lines::generation(qint16 line) const
{
    return validLine(line) ? mGeneration[line] : 0;
}

Winsock *Lines::socket(qint16 line) const
{
    return validLine(line) ? mWinsock[line] : nullptr;
}

void Lines::setStallLimit(std::chrono::milliseconds limit)
{
    mStallLimit = limit;
    for (Winsock *socket : mWinsock) {
        if (socket)
            socket->setStallLimit(limit);
    }
}

Winsock *Lines::createSocket(qint16 line)
{
    auto *socket = new Winsock(line, this);
    socket->setStallLimit(mStallLimit);
    connect(socket, &Winsock::ConnectionRequest, this, &Lines::Winsock_ConnectionRequest);
    connect(socket, &Winsock::DataArrival, this, &Lines::DataArrival);
    connect(socket, &Winsock::SendProgress, this, &Lines::SendProgress);
    connect(socket, &Winsock::SendComplete, this, &Lines::SendComplete);
    connect(socket, &Winsock::PeerClosed, this, &Lines::Winsock_Close);
    connect(socket, &Winsock::Error, this, &Lines::Winsock_Error);
    connect(socket, &Winsock::Connect, this, &Lines::Winsock_Connect);
    mWinsock[line] = socket;
    return socket;
}

void Lines::releaseSocket(qint16 line)
{
    Winsock *socket = mWinsock[line];
    mWinsock[line] = nullptr;
    if (!socket)
        return;
    socket->detach();
    // Its own handler or a wait further down the stack may still be inside it.
    socket->deleteLater();
}

// --- send gate ----------------------------------------------------------------

void Lines::SendMsg(qint16 line, const QByteArray &data)
{
    SendMsg(line, data, generation(line));
}

void Lines::SendMsg(qint16 line, const QByteArray &data, std::uint64_t expectedGeneration)
{
    // Every line counts, line 0 too: a client there must be paced like any other.
    while (mBusyCount > 0) {
        if (mServer.exiting())
            return;
        ++mGateWaitRounds;
        mServer.waitForEvents();
    }
    if (mServer.exiting())
        return;

    if (!validLine(line)) {
        mServer.AddLog(QStringLiteral("Winsock #") + signPadded(line) + QStringLiteral(" no longer exists."));
        mServer.AddLog(QStringLiteral("Error: No such line"));
        return;
    }
    Winsock *socket = mWinsock[line];
    if (!socket || mGeneration[line] != expectedGeneration) {
        // Released while the send waited (perhaps claimed again since): the
        // text was meant for a connection that is gone.
        setLineBusy(line, false);
        mServer.AddLog(QStringLiteral("Winsock #") + signPadded(line) + QStringLiteral(" no longer exists."));
        mServer.AddLog(QStringLiteral("Error: ")
                       + (socket ? QStringLiteral("The connection the data was meant for has ended")
                                 : QStringLiteral("No socket on this line")));
        return;
    }
    // Busy before the hand-over: a send the OS takes whole completes inside
    // SendData, and its completion clears the flag again.
    setLineBusy(line, true);
    SocketError error;
    if (!socket->SendData(data, &error))
        sendFailed(line, error.description);
}

void Lines::sendFailed(qint16 line, const QString &description)
{
    setLineBusy(line, false);
    const QString remote = mWinsock[line] ? mWinsock[line]->RemoteHostIP() : QString();
    if (remote.trimmed().isEmpty())
        mServer.AddLog(QStringLiteral("Error sending msg to winsock #") + signPadded(line));
    else
        mServer.AddLog(QStringLiteral("Error sending msg to winsock #") + signPadded(line)
                       + QStringLiteral(" - ") + remote);
    mServer.AddLog(QStringLiteral("Error: ") + description);
}

// --- listener and connections -------------------------------------------------

void Lines::cmdListen_Click()
{
    const qint16 line = GetFreeLine();
    if (line < 0) {
        mServer.AddLog(QStringLiteral("No Free Lines..."));
        return;
    }
    Winsock *socket = line > 0 ? createSocket(line) : mWinsock[0];
    if (socket->State() == Winsock::sckClosing) {
        mServer.AddLog(QStringLiteral("Forcing Line #") + signPadded(line) + QStringLiteral(" closed."));
        socket->Close();
    }

    mServer.MyIP = mServer.fields().ip;
    if (mServer.MyIP.isEmpty()) {
        mServer.MyIP = socket->LocalIP();
        mServer.AddLog(QStringLiteral("No IP Selected.  Auto-Selecting ") + mServer.MyIP);
    }

    // A failed bind and a failed listen end alike: logged, and a line above 0
    // goes back to the pool with its socket; line 0 stays claimed.
    auto fail = [&](const SocketError &error) {
        mServer.AddLog(QStringLiteral("ERROR (listen port): ") + signPadded(error.number) + QStringLiteral(" - ")
                       + error.description);
        if (line > 0) {
            releaseSocket(line);
            mLineInUse[line] = 0;
            ++mGeneration[line];
        } else {
            socket->Close();
        }
    };

    const int port = portFromText(mServer.fields().port);
    SocketError error;
    if (port < 0) {
        fail(SocketError{10049, QStringLiteral("Port number out of range (0 to 65535): ") + mServer.fields().port.trimmed()});
        return;
    }
    if (!socket->Bind(static_cast<quint16>(port), mServer.MyIP, &error)) {
        fail(error);
        return;
    }
    if (!socket->Listen(&error)) {
        fail(error);
        return;
    }

    mServer.MyIP = socket->LocalIP();
    mServer.SetTitle(mServer.MyIP);
    if (mServer.fields().ip.isEmpty())
        mServer.setTxtIPAutoSelected(mServer.MyIP);
    mServer.AddLog(QStringLiteral("Listening on ") + socket->LocalIP() + QStringLiteral(" - ")
                   + QString::number(socket->LocalPort()));
    mServer.table().addListenerRow(line, socket->LocalIP(), socket->LocalPort());
}

void Lines::Winsock_ConnectionRequest(qint16 index, qintptr requestID)
{
    mServer.AddLog(QStringLiteral("Connection Request on Winsock #") + signPadded(index));
    const qint16 line = GetFreeLine();
    if (line < 0) {
        // Not accepted: the socket layer closes the pending connection.
        mServer.AddLog(QStringLiteral("No free lines to answer connection."));
        return;
    }
    Winsock *socket = line > 0 ? createSocket(line) : mWinsock[0];
    socket->setLocalPort(0);
    SocketError error;
    if (!socket->Accept(requestID, &error)) {
        // Logged like a failed listen; the pending connection is closed by
        // the socket layer since nobody took it.
        mServer.AddLog(QStringLiteral("ERROR (accept connection): ") + signPadded(error.number)
                       + QStringLiteral(" - ") + error.description);
        if (line > 0) {
            releaseSocket(line);
            mLineInUse[line] = 0;
            ++mGeneration[line];
        }
        return;
    }
    mServer.table().addConnectionRow(line, socket->RemoteHostIP(), socket->LocalPort(), socket->RemotePort());
    mServer.AddLog(QStringLiteral("Accepted on ") + socket->LocalIP() + QStringLiteral(" - ")
                   + QString::number(socket->LocalPort()));
    mServer.AddLog(QStringLiteral("Accepted to ") + socket->RemoteHostIP() + QStringLiteral(" - ")
                   + QString::number(socket->RemotePort()));
}

// --- line events and operator close -------------------------------------------

void Lines::Winsock_Close(qint16 line)
{
    if (!validLine(line))
        return;
    setLineBusy(line, false);
    const QString remote = mWinsock[line] ? mWinsock[line]->RemoteHostIP() : QString();
    mServer.AddLog(QStringLiteral("Line #") + QString::number(line) + QStringLiteral(" - ") + remote
                   + QStringLiteral(": closed connection."));
    FreeLine(line);
}

void Lines::Winsock_Error(qint16 line, int number, const QString &description)
{
    if (!validLine(line))
        return;
    mServer.AddLog(signPadded(line) + QStringLiteral(" - Winsock Err #") + QString::number(number)
                   + QStringLiteral(" - ") + description);
    setLineBusy(line, false);
    FreeLine(line);
}

void Lines::Winsock_Connect(qint16 line)
{
    Winsock *socket = this->socket(line);
    if (!socket)
        return;
    mServer.AddLog(QStringLiteral("Connected to ") + socket->RemoteHostIP() + QStringLiteral(" - ")
                   + QString::number(socket->RemotePort()));
}

void Lines::cmdClose_Click()
{
    ConnectionTable &table = mServer.table();
    for (;;) {
        int row = -1;
        for (int r = 0; r < table.rowCount(); ++r) {
            if (table.isSelected(r)) {
                row = r;
                break;
            }
        }
        if (row < 0)
            return;
        const int rowsBefore = table.rowCount();
        const qint16 line = table.lineOfRow(row);
        Winsock *socket = this->socket(line);
        QString address = socket ? socket->RemoteHostIP() : QString();
        if (table.cell(row, ConnectionTable::Type) == QStringLiteral("Listen") && address.isEmpty())
            address = QStringLiteral("Listen ") + (socket ? socket->LocalIP() : QString());
        else if (address.isEmpty())
            address = QStringLiteral("Not Connected");
        mServer.AddLog(QStringLiteral("User Closed Line #") + signPadded(line) + QStringLiteral(" - ") + address);
        if (socket)
            socket->Close();
        setLineBusy(line, false);
        FreeLine(line);
        // A row whose key names no line would never be removed by FreeLine
        // and would keep this loop going for ever.
        if (table.rowCount() == rowsBefore)
            table.removeRow(row);
    }
}

void Lines::closeAllSilently()
{
    for (int line = 0; line < kLineCount; ++line) {
        if (Winsock *socket = mWinsock[line])
            socket->detach();
        mLineBusy[line] = false;
    }
    mBusyCount = 0;
}

bool Lines::closeLine(qint16 line, std::uint64_t expectedGeneration)
{
    Winsock *socket = this->socket(line);
    if (!lineInUse(line) || mGeneration[line] != expectedGeneration || !socket
        || socket->State() == Winsock::sckListening)
        return false;
    socket->Close();
    FreeLine(line);
    return true;
}
