// The stall limit: every connection that holds bytes its peer has not taken
// yet (queued here, a file piece waiting for room, or in the OS's send
// queue) has a clock of its own, and the peer taking any byte starts it
// again. A clock that runs out ends its connection with Error 10060. The
// clocks run side by side, so any number of stalled connections end about
// the limit after they stalled, together; a peer that keeps reading, however
// slowly, keeps its connection.
#include "net/WinsockImpl.h"

#include <QCoreApplication>

#include <algorithm>
#include <vector>

namespace {

// How often the running clocks are looked at: often enough to see a reader
// of 1 KB/s take bytes (TCP hands it a segment at least every few seconds),
// and at least four times within the shortest limit.
constexpr std::chrono::milliseconds kLookPeriod{250};

} // namespace

// One coarse timer for all connections, running only while some clock runs:
// an idle server is never woken for it. A look only posts events (a cut's
// Error), so no handler runs inside it and no connection goes away meanwhile.
class Winsock::Impl::StallWatch : public QObject {
public:
    static StallWatch &instance()
    {
        static QPointer<StallWatch> watch;
        if (!watch)
            watch = new StallWatch(QCoreApplication::instance());
        return *watch;
    }

    void add(Impl *line)
    {
        mLines.push_back(line);
        schedule();
    }

    void remove(Impl *line)
    {
        mLines.erase(std::remove(mLines.begin(), mLines.end(), line), mLines.end());
        schedule();
    }

    // Never restarts a timer that runs at the right period: frequent sends
    // must not keep postponing the look.
    void schedule()
    {
        if (mLines.empty()) {
            mTimer.stop();
            return;
        }
        std::chrono::milliseconds period = kLookPeriod;
        for (const Impl *line : mLines)
            period = std::min(period, line->stallLimit / 4);
        period = std::max(period, std::chrono::milliseconds(1));
        if (!mTimer.isActive() || mTimer.intervalAsDuration() != period)
            mTimer.start(period);
    }

private:
    explicit StallWatch(QObject *parent) : QObject(parent)
    {
        connect(&mTimer, &QTimer::timeout, this, [this] { look(); });
    }

    void look()
    {
        // A clock that stops or runs out leaves the list.
        const std::vector<Impl *> lines = mLines;
        for (Impl *line : lines) {
            if (std::find(mLines.begin(), mLines.end(), line) != mLines.end())
                line->checkStall();
        }
    }

    QTimer mTimer;
    std::vector<Impl *> mLines;
};

void Winsock::Impl::restartStall()
{
    stallDeadline.setRemainingTime(stallLimit, Qt::PreciseTimer);
}

void Winsock::Impl::armStall()
{
    if (stallRunning)
        return;
    stallRunning = true;
    restartStall();
    StallWatch::instance().add(this);
}

void Winsock::Impl::disarmStall()
{
    stallDeadline = QDeadlineTimer(QDeadlineTimer::Forever);
    if (!stallRunning)
        return;
    stallRunning = false;
    StallWatch::instance().remove(this);
}

void Winsock::Impl::sampleStall()
{
    if (!stallRunning)
        return;
    if (!socket || failed || peerClosed) {
        disarmStall();
        return;
    }
    // Where the platform cannot tell what its send queue holds, bytes the
    // OS took count as taken by the peer.
    const qint64 queued = PlatformSocket::undeliveredBytes(socket->socketDescriptor());
    if (queued == 0 && !sendWaiting()) {
        peerTaken = osTaken;
        disarmStall();
        return;
    }
    if (osTaken - queued > peerTaken) {
        peerTaken = osTaken - queued;
        restartStall();
    }
}

void Winsock::Impl::checkStall()
{
    sampleStall();
    if (stallRunning && stallDeadline.hasExpired())
        cutStalled();
}

void Winsock::Impl::cutStalled()
{
    disarmStall();
    if (!socket || failed || peerClosed)
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
    if (d->stallRunning) {
        d->restartStall();
        Impl::StallWatch::instance().schedule();
    }
}

QDeadlineTimer Winsock::stallDeadline() const
{
    return d->stallDeadline;
}
