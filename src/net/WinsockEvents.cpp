// What the OS reports about a socket object, noted as it happens and
// delivered to the program later as the object's events.
#include "net/WinsockImpl.h"

#include <QCoreApplication>
#include <QThread>

#include <cerrno>
#include <system_error>
#include <utility>

const QEvent::Type WinsockEvent::kType = static_cast<QEvent::Type>(QEvent::registerEventType());

// --- connection requests ------------------------------------------------------

namespace {

// Descriptors that must stay free beyond a connection about to be taken, and
// what taking one costs (its socket, the second descriptor that tells a
// reset from a close, another that waits for room to send a file).
const int kDescriptorReserve = 32 + QThread::idealThreadCount();
constexpr int kDescriptorsPerConnection = 3;
constexpr std::chrono::milliseconds kDescriptorRetry{500};
// Requests are taken again only once this many connections fit: a client
// leaving now and then must not turn every retry into a pair of log lines.
constexpr int kConnectionsToResume = 8;

} // namespace

Winsock::Impl::RequestServer::RequestServer(Impl &impl) : QTcpServer(impl.q), mImpl(impl)
{
    mRetry.setSingleShot(true);
    connect(&mRetry, &QTimer::timeout, this, [this] { retry(); });
}

void Winsock::Impl::RequestServer::startRaising()
{
    raising = true;
    if (!mPending) {
        mPending = new QSocketNotifier(socketDescriptor(), QSocketNotifier::Read, this);
        connect(mPending, &QSocketNotifier::activated, this, [this] { acceptPending(); });
    }
    mPending->setEnabled(!mShort);
}

void Winsock::Impl::RequestServer::stopRaising()
{
    raising = false;
    mRetry.stop();
    if (mPending)
        mPending->setEnabled(false);
}

void Winsock::Impl::RequestServer::incomingConnection(qintptr handle)
{
    // Qt's own accepting stays paused; should it take one all the same,
    // the request is raised like any other.
    offer(handle);
}

void Winsock::Impl::RequestServer::acceptPending()
{
    // A ConnectionRequest handler may close this listener: `raising` ends
    // then, and the object itself is deleted only later.
    while (raising) {
        if (!PlatformSocket::descriptorsFree(socketDescriptor(),
                                             kDescriptorReserve + kDescriptorsPerConnection)) {
            waitForDescriptors();
            return;
        }
        int why = 0;
        const qintptr handle = PlatformSocket::acceptNow(socketDescriptor(), &why);
        if (handle >= 0) {
            offer(handle);
        } else if (why == EMFILE) {
            waitForDescriptors();
            return;
        } else {
            if (why != 0)
                mImpl.failListener(
                        SocketError{10053, QString::fromStdString(std::generic_category().message(why))});
            return;
        }
    }
}

void Winsock::Impl::RequestServer::waitForDescriptors()
{
    mPending->setEnabled(false);
    mRetry.start(kDescriptorRetry);
    if (!std::exchange(mShort, true))
        emit mImpl.q->AcceptPaused(mImpl.q->index(), true);
}

void Winsock::Impl::RequestServer::retry()
{
    if (!raising)
        return;
    if (!PlatformSocket::descriptorsFree(
                socketDescriptor(), kDescriptorReserve + kConnectionsToResume * kDescriptorsPerConnection)) {
        mRetry.start(kDescriptorRetry);
        return;
    }
    mShort = false;
    mPending->setEnabled(true);
    emit mImpl.q->AcceptPaused(mImpl.q->index(), false);
}

void Winsock::Impl::RequestServer::offer(qintptr handle)
{
    if (!raising) {
        PlatformSocket::closeDescriptor(handle);
        return;
    }
    mImpl.offeredRequest = handle;
    mImpl.offerTaken = false;
    emit mImpl.q->ConnectionRequest(mImpl.q->index(), handle);
    const bool taken = mImpl.offerTaken;
    mImpl.offeredRequest = -1;
    mImpl.offerTaken = false;
    if (!taken)
        PlatformSocket::closeDescriptor(handle);
}

// --- noting what Qt reports ---------------------------------------------------

void Winsock::Impl::post(Delivery kind)
{
    QCoreApplication::postEvent(q, new WinsockEvent(kind, generation));
}

void Winsock::Impl::postData()
{
    if (dataPosted || detached)
        return;
    dataPosted = true;
    post(Delivery::Data);
}

void Winsock::Impl::postSend()
{
    if (sendPosted || detached)
        return;
    sendPosted = true;
    post(Delivery::Send);
}

void Winsock::Impl::postEnd(Delivery kind)
{
    if (endPosted || detached)
        return;
    endPosted = true;
    post(kind);
}

void Winsock::Impl::onReadyRead()
{
    arrived = true;
    postData();
}

void Winsock::Impl::onBytesWritten(qint64 n)
{
    batchSent += n;
    osTaken += n;
    sampleStall();
    postSend();
}

bool Winsock::Impl::waitForRoom()
{
    if (!roomNotifier) {
        roomDescriptor = PlatformSocket::duplicate(socket->socketDescriptor());
        if (roomDescriptor < 0)
            return false;
        roomNotifier = new QSocketNotifier(roomDescriptor, QSocketNotifier::Write);
        QObject::connect(roomNotifier, &QSocketNotifier::activated, q, [this] { onRoom(); });
    }
    roomWaiting = true;
    sendOutstanding = true;
    roomNotifier->setEnabled(true);
    armStall();
    return true;
}

// The socket has room again (or has failed, which Qt reports on its own):
// the piece that waited for it is complete, with no byte sent, and the
// stream's next piece goes straight to the OS.
void Winsock::Impl::onRoom()
{
    // The socket stays writable: left on, the notifier would fire at every
    // turn of the event loop.
    roomNotifier->setEnabled(false);
    if (!roomWaiting)
        return;
    roomWaiting = false;
    sampleStall();
    postSend();
}

void Winsock::Impl::onDisconnected()
{
    resetWatch.close();
    if (failed)
        return;
    disarmStall();
    peerClosed = true;
    postEnd(Delivery::Closed);
}

void Winsock::Impl::onSocketError(QAbstractSocket::SocketError kind)
{
    if (peerClosed || failed)
        return;
    if (kind == QAbstractSocket::RemoteHostClosedError) {
        const bool reset = resetWatch.peerReset();
        resetWatch.close();
        // An orderly close is followed by disconnected(): the Close event.
        if (!reset)
            return;
        pendingError = SocketError{10054, QStringLiteral("Connection reset by peer")};
    } else {
        pendingError = SocketErrors::fromQt(kind, socket ? socket->errorString() : QString());
    }
    failed = true;
    disarmStall();
    postEnd(Delivery::Failed);
}

void Winsock::Impl::failListener(const SocketError &error)
{
    if (failed)
        return;
    failed = true;
    pendingError = error;
    if (server)
        server->stopRaising();
    postEnd(Delivery::Failed);
}

// --- delivery -----------------------------------------------------------------

bool Winsock::event(QEvent *e)
{
    if (e->type() != WinsockEvent::kType)
        return QObject::event(e);
    const auto *we = static_cast<WinsockEvent *>(e);
    if (d->detached || we->generation != d->generation)
        return true; // meant for an earlier use of this object
    switch (we->kind) {
    case Delivery::Data: d->deliverData(); break;
    case Delivery::Send: d->deliverSend(); break;
    case Delivery::Closed: emit PeerClosed(mIndex); break;
    case Delivery::Failed: d->deliverFailure(); break;
    }
    return true;
}

void Winsock::Impl::deliverData()
{
    dataPosted = false;
    if (!socket || !arrived)
        return;
    arrived = false;
    const qint64 available = socket->bytesAvailable();
    if (available <= 0)
        return;
    const Use use = currentUse();
    emit q->DataArrival(q->mIndex, available);
    // Bytes that came in while the handler ran and were announced by nobody
    // still get their DataArrival.
    if (use.current() && arrived && socket && socket->bytesAvailable() > 0)
        postData();
}

void Winsock::Impl::deliverSend()
{
    sendPosted = false;
    if (!socket || peerClosed || failed)
        return;
    const qint64 remaining = socket->bytesToWrite();
    if (batchSent > 0) {
        const Use use = currentUse();
        emit q->SendProgress(q->mIndex, batchSent, remaining);
        if (!use.current() || !socket)
            return;
    }
    if (sendOutstanding && !sendWaiting()) {
        sendOutstanding = false;
        batchSent = 0;
        emit q->SendComplete(q->mIndex);
    }
}

void Winsock::Impl::deliverFailure()
{
    // A failed socket or listener is finished: release the OS resources now
    // (a listener's port above all) and keep only what the handler may log.
    const SocketError error = pendingError;
    releaseOs();
    emit q->Error(q->mIndex, error.number, error.description);
}
