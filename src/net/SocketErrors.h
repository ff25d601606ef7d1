#pragma once
// The socket layer's failures as the rest of the server sees them: a classic
// socket error number with a description, one number per kind of failure:
//   10013  access denied (e.g. a privileged port)
//   10022  invalid argument / operation in the wrong state (Listen before
//          Bind, Bind or Accept on a socket that is in use, bad descriptor)
//   10024  too many open files / no resources for a socket
//   10036  operation still in progress
//   10040  message too large
//   10045  operation not supported
//   10048  address in use (port taken)
//   10049  address not available (not an address of this machine, or not an
//          IPv4/IPv6 address at all)
//   10050  network down / other network failure
//   10053  connection aborted (any other failure of a live connection)
//   10054  connection reset by the peer (only where reported apart from a close)
//   10057  socket not connected (SendData on a socket with no connection)
//   10060  timed out
//   10061  connection refused
//   11001  host not found
// Also the text of an address as the log lines and the table show it.

#include <QAbstractSocket>
#include <QString>

class QHostAddress;

struct SocketError {
    int number = 0;
    QString description;
};

namespace SocketErrors {

// Qt's kind of failure as its number; anything unnamed is 10053.
int numberFor(QAbstractSocket::SocketError kind);
// The error Qt reported, with Qt's own text when it gave one.
SocketError fromQt(QAbstractSocket::SocketError kind, const QString &qtText);
// Dotted IPv4 for IPv4 addresses, IPv4-mapped IPv6 ones included; the IPv6
// text otherwise.
QString addressText(const QHostAddress &address);

} // namespace SocketErrors
