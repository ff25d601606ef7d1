#include "net/ConnectionAdmission.h"

#include "net/SocketErrors.h"

#include <algorithm>

namespace {

// The address itself, an IPv4-mapped one as the IPv4 address it stands for.
QHostAddress plainAddress(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}

QString lengthText(std::chrono::milliseconds length)
{
    if (length.count() % 1000 == 0)
        return QString::number(length.count() / 1000) + QStringLiteral(" s");
    return QString::number(length.count()) + QStringLiteral(" ms");
}

} // namespace

bool AdmissionRule::allowsAddress(const QHostAddress &peer) const
{
    if (allowed.isEmpty())
        return true;
    const QHostAddress address = plainAddress(peer);
    for (const QPair<QHostAddress, int> &network : allowed) {
        if (address.isInSubnet(network.first, network.second))
            return true;
    }
    return false;
}

std::optional<QPair<QHostAddress, int>> AdmissionRule::parseNetwork(const QString &text)
{
    const QString trimmed = text.trimmed();
    // A whole address before any prefix: Qt also reads "192.168" (as
    // 192.168.0.0/16) or "/8" as networks, which an operator is unlikely to
    // mean.
    const QString address = trimmed.section(QLatin1Char('/'), 0, 0);
    if ((!address.contains(QLatin1Char(':')) && address.count(QLatin1Char('.')) != 3)
        || QHostAddress(address).isNull())
        return std::nullopt;
    QPair<QHostAddress, int> network = QHostAddress::parseSubnet(trimmed);
    if (network.first.isNull() || network.second < 0)
        return std::nullopt;
    // Mapped clients are matched as plain IPv4, so a mapped network must be
    // one too.
    const Q_IPV6ADDR bytes = network.first.toIPv6Address();
    const bool mapped = network.first.protocol() == QAbstractSocket::IPv6Protocol
            && std::all_of(bytes.c, bytes.c + 10, [](quint8 b) { return b == 0; }) && bytes[10] == 0xff
            && bytes[11] == 0xff;
    if (mapped && network.second >= 96)
        network = {plainAddress(network.first), network.second - 96};
    return network;
}

bool RefusalLog::refused(const QString &address, const QString &reason)
{
    const bool opened = !mOpen;
    mOpen = true;
    if (mLogged.contains(address) || mLogged.size() >= kLinesPerWindow) {
        ++mHeldBack;
        return opened;
    }
    mLogged << address;
    mLog(QStringLiteral("Connection from ") + address + QStringLiteral(" turned away: ") + reason);
    return opened;
}

void RefusalLog::endWindow(std::chrono::milliseconds length)
{
    if (mHeldBack > 0)
        mLog(QStringLiteral("Connections turned away in the last ") + lengthText(length)
             + QStringLiteral(" and not logged one by one: ") + QString::number(mHeldBack));
    mOpen = false;
    mLogged.clear();
    mHeldBack = 0;
}

ConnectionAdmission::ConnectionAdmission(std::function<void(const QString &)> log) : mLog(std::move(log))
{
    mWindowEnd.setSingleShot(true);
    QObject::connect(&mWindowEnd, &QTimer::timeout, &mWindowEnd, [this] { mLog.endWindow(mWindowLength); });
}

bool ConnectionAdmission::admit(const QHostAddress &peer,
                                const std::function<int(const QString &)> &linesHeldBy)
{
    if (!mRule.restricts())
        return true;
    const QString address = SocketErrors::addressText(peer);
    QString reason;
    if (peer.isNull()) {
        reason = QStringLiteral("its address cannot be read");
    } else if (!mRule.allowsAddress(peer)) {
        reason = QStringLiteral("not in an allowed network");
    } else if (mRule.maxLinesPerHost > 0) {
        const int held = linesHeldBy(address);
        if (held >= mRule.maxLinesPerHost)
            reason = QStringLiteral("it holds ") + QString::number(held)
                    + (held == 1 ? QStringLiteral(" line") : QStringLiteral(" lines"))
                    + QStringLiteral(", the most one host may hold");
    }
    if (reason.isEmpty())
        return true;
    if (mLog.refused(peer.isNull() ? QStringLiteral("an unknown address") : address, reason))
        mWindowEnd.start(mWindowLength);
    return false;
}
