#pragma once
// The operator's page, put together: the token (WebToken), the decisions
// (WebApi) and the HTTP server (HttpFrontEnd), started from main() with a
// single call. The page shows what the window shows and offers the
// window's operator actions except Exit.
//
// Re-entrancy: as WebApi and HttpFrontEnd say; nothing here waits. The
// page must go before the Server and the OperatorActions it was given.

#include <QString>

#include <memory>

class HttpFrontEnd;
class OperatorActions;
class Server;
class WebApi;
struct CommandLine;

class OperatorPage {
public:
    ~OperatorPage();

    // Serves the page when the command line asks for it (--web), logging
    // its address with the token as the fragment, ready to open; without
    // --web, or when it cannot serve (logged), returns nothing and the
    // server goes on without it. settingsFile places the token file unless
    // --web-token-file names one.
    static std::unique_ptr<OperatorPage> start(Server &server, OperatorActions &actions,
                                               const CommandLine &commandLine, const QString &settingsFile);


private:
    OperatorPage() = default;
    std::unique_ptr<WebApi> mApi;
    std::unique_ptr<HttpFrontEnd> mHttp;
    QString mAddress;
};

// The address to open for a server bound to host and port: a host that
// stands for every interface is reached on this machine's loopback.
QString operatorPageAddress(const QString &host, quint16 port);
