// Placeholder until the line pool lands.
#include "net/Lines.h"
#include "app/Server.h"
Lines::Lines(Server &server) : mServer(server) {}
Lines::~Lines() = default;
qint16 Lines::GetFreeLine() { return -1; }
void Lines::FreeLine(qint16) {}
bool Lines::lineInUse(qint16) const { return false; }
bool Lines::lineBusy(qint16) const { return false; }
void Lines::setLineBusy(qint16, bool) {}
std::uint64_t Lines::generation(qint16) const { return 0; }
Winsock *Lines::socket(qint16) const { return nullptr; }
void Lines::SendMsg(qint16, const QByteArray &) {}
void Lines::SendMsg(qint16, const QByteArray &, std::uint64_t) {}
void Lines::cmdListen_Click() {}
void Lines::cmdClose_Click() {}
void Lines::closeAllSilently() {}
void Lines::Winsock_ConnectionRequest(qint16, qintptr) {}
void Lines::Winsock_Close(qint16) {}
void Lines::Winsock_Error(qint16, int, const QString &) {}
void Lines::Winsock_Connect(qint16) {}
