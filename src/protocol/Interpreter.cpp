// Placeholder until the interpreter lands.
#include "protocol/Interpreter.h"
#include "app/Server.h"
Interpreter::Interpreter(Server &server) : mServer(server) {}
Interpreter::~Interpreter() = default;
void Interpreter::Winsock_DataArrival(qint16, qint64) {}
void Interpreter::Winsock_SendProgress(qint16, qint64, qint64) {}
void Interpreter::Winsock_SendComplete(qint16) {}
void Interpreter::DoSend(const QByteArray &) {}
void Interpreter::DoSendList() {}
void Interpreter::DoSendFile(const QByteArray &) {}
