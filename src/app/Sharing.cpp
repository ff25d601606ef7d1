#include "app/Sharing.h"

#include "app/CommandLine.h"
#include "app/Server.h"
#include "library/SongCatalogue.h"
#include "net/Lines.h"

#include <QStringList>

namespace {

// "192.168.1.0/24"; a network of one address as the address alone.
QString networkText(const QPair<QHostAddress, int> &network)
{
    const int whole = network.first.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128;
    const QString address = network.first.toString();
    return network.second == whole ? address : address + QLatin1Char('/') + QString::number(network.second);
}

} // namespace

void applySharing(Server &server, const CommandLine &commandLine)
{
    server.catalogue().setWideLinks(commandLine.wideLinks);
    server.lines().admission().setRule(commandLine.admission);
    if (commandLine.wideLinks)
        server.AddLog(
                QStringLiteral("Links in the music folder are followed wherever they lead (--wide-links)"));
    if (!commandLine.admission.allowed.isEmpty()) {
        QStringList networks;
        for (const QPair<QHostAddress, int> &network : commandLine.admission.allowed)
            networks << networkText(network);
        server.AddLog(QStringLiteral("Connections admitted only from: ") + networks.join(QStringLiteral(", "))
                      + QStringLiteral(" (--allow)"));
    }
    if (commandLine.admission.maxLinesPerHost > 0)
        server.AddLog(QStringLiteral("At most ") + QString::number(commandLine.admission.maxLinesPerHost)
                      + (commandLine.admission.maxLinesPerHost == 1 ? QStringLiteral(" line")
                                                                    : QStringLiteral(" lines"))
                      + QStringLiteral(" per client address (--max-lines-per-host)"));
}
