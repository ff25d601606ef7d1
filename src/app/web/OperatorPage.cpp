#include "app/web/OperatorPage.h"

#include "app/CommandLine.h"
#include "app/Server.h"
#include "app/web/HttpFrontEnd.h"
#include "app/web/WebApi.h"
#include "app/web/WebToken.h"

#include <QHostAddress>

QString operatorPageAddress(const QString &host, quint16 port)
{
    const QHostAddress address(host);
    QString shown = host;
    if (address == QHostAddress::AnyIPv4)
        shown = QStringLiteral("127.0.0.1");
    else if (address == QHostAddress::AnyIPv6 || address == QHostAddress::Any)
        shown = QStringLiteral("[::1]");
    else if (address.protocol() == QAbstractSocket::IPv6Protocol)
        shown = QLatin1Char('[') + host + QLatin1Char(']');
    return QStringLiteral("http://%1:%2/").arg(shown).arg(port);
}

OperatorPage::~OperatorPage() = default;

std::unique_ptr<OperatorPage> OperatorPage::start(Server &server, OperatorActions &actions,
                                                  const CommandLine &commandLine, const QString &settingsFile)
{
    if (!commandLine.webGiven)
        return nullptr;
    const QString tokenPath
            = commandLine.webTokenFile.isEmpty() ? defaultWebTokenFile(settingsFile) : commandLine.webTokenFile;
    const WebTokenFile token = loadOrCreateWebToken(tokenPath);
    if (token.token.isEmpty()) {
        server.AddLog(QStringLiteral("Operator page not served: token file ") + tokenPath + QStringLiteral(": ")
                      + token.error);
        return nullptr;
    }
    if (token.created)
        server.AddLog(QStringLiteral("Operator page token created in ") + tokenPath);
    else if (token.tightened)
        server.AddLog(QStringLiteral("Operator page token file ") + tokenPath
                      + QStringLiteral(" could be read by others: it is now readable by its owner only"));

    std::unique_ptr<OperatorPage> page(new OperatorPage);
    page->mApi = std::make_unique<WebApi>(server, actions, token.token);
    WebApi *api = page->mApi.get();
    page->mHttp = std::make_unique<HttpFrontEnd>([api](const WebRequest &request) { return api->handle(request); });
    const quint16 port = page->mHttp->listen(QHostAddress(commandLine.webAddress), commandLine.webPort);
    if (port == 0) {
        server.AddLog(QStringLiteral("Operator page not served: cannot listen on ") + commandLine.webAddress
                      + QStringLiteral(" port ") + QString::number(commandLine.webPort) + QStringLiteral(": ")
                      + page->mHttp->errorString());
        return nullptr;
    }
    page->mAddress = operatorPageAddress(commandLine.webAddress, port);
    server.AddLog(QStringLiteral("Operator page: ") + page->mAddress + QLatin1Char('#')
                  + QString::fromLatin1(token.token));
    return page;
}
