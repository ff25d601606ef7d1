#include "app/ServiceNotifier.h"

#include "app/OperatorLog.h"
#include "app/Server.h"
#include "app/ServerStatus.h"

#include <climits>
#include <cstdint>

#ifdef VORLUNE_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

ServiceNotifier::ServiceNotifier(QObject *parent) : QObject(parent)
{
    mStatusTimer.setSingleShot(true);
    connect(&mStatusTimer, &QTimer::timeout, this, [this] {
        // A window's server that could not listen at start-up is ready at
        // its first listener.
        QByteArray ready;
        if (mReadyPending && mStatus && !mStatus->listeners().isEmpty()) {
            mReadyPending = false;
            mReadySent = true;
            ready = "READY=1";
        }
        sendStatus(ready);
    });
    connect(&mWatchdogTimer, &QTimer::timeout, this, [this] { notify("WATCHDOG=1"); });
}

ServiceNotifier::~ServiceNotifier() = default;

bool ServiceNotifier::enabled()
{
#ifdef VORLUNE_HAVE_SYSTEMD
    return !qEnvironmentVariableIsEmpty("NOTIFY_SOCKET");
#else
    return false;
#endif
}

void ServiceNotifier::attach(Server &server)
{
    if (!enabled() || mServer)
        return;
    mServer = &server;
    mStatus = &server.status();
    connect(mStatus, &ServerStatus::changed, this, &ServiceNotifier::statusChanged);
    statusChanged();
#ifdef VORLUNE_HAVE_SYSTEMD
    // Fed at half the interval the manager allows, so one late turn of the
    // loop is not yet a hang.
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        mWatchdogTimer.start(int(qBound<std::uint64_t>(1, usec / 2000, INT_MAX)));
    }
#endif
}

void ServiceNotifier::ready()
{
    if (!mStatus || mStopped || mReadySent)
        return;
    mReadyPending = true;
    if (mStatus->listeners().isEmpty())
        return;
    mReadyPending = false;
    mReadySent = true;
    mStatusTimer.stop();
    sendStatus("READY=1");
}

void ServiceNotifier::stopping()
{
    if (!mStatus || mStopped)
        return;
    notify("STOPPING=1");
    mStopped = true;
    mStatusTimer.stop();
    mWatchdogTimer.stop();
}

QByteArray ServiceNotifier::statusLine(const ServerStatus &status)
{
    const QString text = status.listenText() + QStringLiteral("; ") + status.songsText()
            + QStringLiteral("; ") + status.clientsText() + QStringLiteral("; ") + status.activityText();
    // The log's escaping for standard output, without its line end: the
    // manager reads one assignment per line.
    return stdoutLogLine(text).chopped(1);
}

void ServiceNotifier::statusChanged()
{
    if (mStopped || mStatusTimer.isActive())
        return;
    const qint64 elapsed = mSinceStatus.isValid() ? mSinceStatus.elapsed() : kStatusGapMs;
    mStatusTimer.start(int(qBound<qint64>(0, kStatusGapMs - elapsed, qint64(kStatusGapMs))));
}

void ServiceNotifier::sendStatus(const QByteArray &prefix)
{
    if (mStopped || !mStatus)
        return;
    QByteArray state = prefix;
    const QByteArray line = statusLine(*mStatus);
    if (line != mLastStatus) {
        mLastStatus = line;
        if (!state.isEmpty())
            state += '\n';
        state += "STATUS=" + line;
        mSinceStatus.start();
    }
    // A start-up scan of a large library may outlast the manager's start
    // timeout: while the scan finds songs, each line moves that limit on.
    if (!mReadySent && mStatus->scanning() && !state.isEmpty())
        state += "\nEXTEND_TIMEOUT_USEC=" + QByteArray::number(kStartExtensionUsec);
    if (!state.isEmpty())
        notify(state);
    if (mStatus->busy() && !mStatusTimer.isActive())
        mStatusTimer.start(kStatusGapMs);
}

void ServiceNotifier::notify(const QByteArray &state)
{
#ifdef VORLUNE_HAVE_SYSTEMD
    const int result = sd_notify(0, state.constData());
    if (result < 0 && !mFailureLogged && mServer) {
        mFailureLogged = true;
        mServer->AddLog(QStringLiteral("The service manager could not be told the server's state: ")
                        + qt_error_string(-result));
    }
#else
    Q_UNUSED(state);
#endif
}
