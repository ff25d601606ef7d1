// Placeholder until the socket adapter lands.
#include "net/Winsock.h"
Winsock::Winsock(qint16 index, QObject *parent) : QObject(parent), mIndex(index) {}
Winsock::~Winsock() = default;
bool Winsock::Bind(quint16, const QString &, SocketError *) { return false; }
bool Winsock::Listen(SocketError *) { return false; }
bool Winsock::Accept(qintptr, SocketError *) { return false; }
bool Winsock::SendData(const QByteArray &, SocketError *) { return false; }
QByteArray Winsock::GetData() { return {}; }
void Winsock::Close() {}
void Winsock::detach() {}
QString Winsock::LocalIP() const { return {}; }
quint16 Winsock::LocalPort() const { return 0; }
void Winsock::setLocalPort(quint16) {}
QString Winsock::RemoteHostIP() const { return {}; }
quint16 Winsock::RemotePort() const { return 0; }
int Winsock::State() const { return 0; }
qint64 Winsock::BytesReceived() const { return 0; }
void Winsock::refuseRequest(qintptr) {}
