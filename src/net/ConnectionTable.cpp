// Placeholder until the connection table lands.
#include "net/ConnectionTable.h"
struct ConnectionTable::Impl {};
ConnectionTable::ConnectionTable() : d(new Impl) {}
ConnectionTable::~ConnectionTable() { delete d; }
QAbstractItemModel *ConnectionTable::model() const { return nullptr; }
QItemSelectionModel *ConnectionTable::selectionModel() const { return nullptr; }
QStringList ConnectionTable::columnHeaders() { return {}; }
QList<int> ConnectionTable::columnWidthsTwips() { return {}; }
int ConnectionTable::twipsToPixels(int, double) { return 0; }
void ConnectionTable::addColumns() {}
void ConnectionTable::addListenerRow(qint16, const QString &, quint16) {}
void ConnectionTable::addConnectionRow(qint16, const QString &, quint16, quint16) {}
int ConnectionTable::rowCount() const { return 0; }
int ConnectionTable::rowOfLine(qint16) const { return -1; }
void ConnectionTable::removeRowOfLine(qint16) {}
qint16 ConnectionTable::lineOfRow(int) const { return 0; }
QString ConnectionTable::cell(int, int) const { return {}; }
bool ConnectionTable::isSelected(int) const { return false; }
QList<qint16> ConnectionTable::selectedLines() const { return {}; }
void ConnectionTable::setTransferCells(qint16, const QString &, const QString &) {}
