// The stall limit: a send whose bytes wait here and that the OS takes none
// of for the limit ends its connection with Error 10060.
#include "net/WinsockImpl.h"

#include <algorithm>

void Winsock::Impl::restartStall()
{
    stallDeadline.setRemainingTime(stallLimit, Qt::PreciseTimer);
    stallTimer.start(stallLimit);
}

// Bytes of a send are waiting here: the limit runs unless it runs already (a
// send made while the previous one is stuck is no progress).
void Winsock::Impl::armStall()
{
    if (!stallTimer.isActive())
        restartStall();
}

void Winsock::Impl::noteProgress()
{
    if (socket && socket->bytesToWrite() > 0)
        restartStall();
    else
        disarmStall();
}

void Winsock::Impl::disarmStall()
{
    stallTimer.stop();
    stallDeadline = QDeadlineTimer(QDeadlineTimer::Forever);
}

void Winsock::Impl::onStallTimer()
{
    disarmStall();
    if (!socket || failed || peerClosed || socket->bytesToWrite() == 0)
        return;
    failed = true;
    pendingError = SocketError{10060, QStringLiteral("Connection timed out")};
    // The peer takes nothing: what is queued for it could never be delivered,
    // and a plain close would leave the OS retrying it for minutes. A reset
    // frees the connection at once.
    PlatformSocket::resetOnClose(socket->socketDescriptor());
    postEnd(Delivery::Failed);
}

void Winsock::setStallLimit(std::chrono::milliseconds limit)
{
    d->stallLimit = std::max(limit, std::chrono::milliseconds(1));
    if (d->stallTimer.isActive())
        d->restartStall();
}

QDeadlineTimer Winsock::stallDeadline() const
{
    return d->stallDeadline;
}
