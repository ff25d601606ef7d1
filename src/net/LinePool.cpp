// The pool: claiming and releasing lines, their flags and generations, and
// the socket slots with the sockets' lives.
#include "net/Lines.h"

#include "net/ConnectionAdmission.h"
#include "net/ConnectionTable.h"
#include "net/Winsock.h"

Lines::Lines(LineServices services, QObject *parent)
    : QObject(parent), mServices(std::move(services)), mTable(std::make_unique<ConnectionTable>()),
      mStallLimit(Winsock::kStallLimit)
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
    mTable->removeRowOfLine(line);
    if (line > 0)
        releaseSocket(line);
    emit lineReleased(line);
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
    connect(socket, &Winsock::AcceptPaused, this, &Lines::Winsock_AcceptPaused);
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

void Lines::closeAllSilently()
{
    for (int line = 0; line < kLineCount; ++line) {
        if (Winsock *socket = mWinsock[line])
            socket->detach();
        mLineBusy[line] = false;
    }
    mBusyCount = 0;
}
