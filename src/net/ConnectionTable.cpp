#include "net/ConnectionTable.h"

#include "net/DecimalText.h"

#include <QItemSelectionModel>
#include <QStandardItemModel>

#include <cmath>

struct ConnectionTable::Impl {
    QStandardItemModel model;
    QItemSelectionModel selection{&model};
};

ConnectionTable::ConnectionTable() : d(std::make_unique<Impl>())
{
}

ConnectionTable::~ConnectionTable() = default;

QAbstractItemModel *ConnectionTable::model() const
{
    return &d->model;
}

QItemSelectionModel *ConnectionTable::selectionModel() const
{
    return &d->selection;
}

QStringList ConnectionTable::columnHeaders()
{
    return {QStringLiteral("IP Address"), QStringLiteral("Line #"), QStringLiteral("Local"),
            QStringLiteral("Remote"),     QStringLiteral("Type"),   QStringLiteral("Bytes Sent"),
            QStringLiteral("Bytes Left")};
}

QList<int> ConnectionTable::columnWidthsTwips()
{
    return {1500, 350, 500, 500, 350, 800, 800};
}

int ConnectionTable::twipsToPixels(int twips, double dotsPerInch)
{
    return static_cast<int>(std::lround(twips * dotsPerInch / 1440.0));
}

void ConnectionTable::addColumns()
{
    d->model.setColumnCount(kColumnCount);
    d->model.setHorizontalHeaderLabels(columnHeaders());
}

namespace {
QList<QStandardItem *> makeRow(const QStringList &cells, qint16 line)
{
    QList<QStandardItem *> items;
    items.reserve(cells.size());
    for (const QString &text : cells) {
        auto *item = new QStandardItem(text);
        item->setEditable(false);
        items.append(item);
    }
    items.first()->setData(QString::number(line), ConnectionTable::lineKeyRole);
    return items;
}

// The longest leading decimal number of a line key, as a 16-bit number (0
// when the text does not begin with one).
qint16 lineFromKey(const QString &key)
{
    const qint64 value = leadingDecimal(key).value_or(0);
    return value > 32767 || value < -32768 ? qint16(-1) : static_cast<qint16>(value);
}
} // namespace

void ConnectionTable::addListenerRow(qint16 line, const QString &localIP, quint16 localPort)
{
    if (d->model.columnCount() < kColumnCount)
        addColumns();
    const QString na = QStringLiteral("N/A");
    d->model.appendRow(makeRow({localIP, QString::number(line), QString::number(localPort), na,
                                QStringLiteral("Listen"), na, na},
                               line));
}

void ConnectionTable::addConnectionRow(qint16 line, const QString &remoteIP, quint16 localPort,
                                       quint16 remotePort)
{
    if (d->model.columnCount() < kColumnCount)
        addColumns();
    const QString na = QStringLiteral("N/A");
    d->model.appendRow(makeRow({remoteIP, QString::number(line), QString::number(localPort),
                                QString::number(remotePort), QStringLiteral("In"), na, na},
                               line));
    const int row = d->model.rowCount() - 1;
    d->selection.select(d->model.index(row, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

int ConnectionTable::rowCount() const
{
    return d->model.rowCount();
}

qint16 ConnectionTable::lineOfRow(int row) const
{
    if (row < 0 || row >= d->model.rowCount())
        return -1;
    return lineFromKey(d->model.index(row, 0).data(lineKeyRole).toString());
}

int ConnectionTable::rowOfLine(qint16 line) const
{
    const int rows = d->model.rowCount();
    for (int row = 0; row < rows; ++row) {
        if (lineOfRow(row) == line)
            return row;
    }
    return -1;
}

void ConnectionTable::removeRow(int row)
{
    if (row >= 0 && row < d->model.rowCount())
        d->model.removeRow(row);
}

void ConnectionTable::removeRowOfLine(qint16 line)
{
    removeRow(rowOfLine(line));
}

QString ConnectionTable::cell(int row, int column) const
{
    if (row < 0 || row >= d->model.rowCount() || column < 0 || column >= kColumnCount)
        return {};
    return d->model.index(row, column).data(Qt::DisplayRole).toString();
}

bool ConnectionTable::isSelected(int row) const
{
    if (row < 0 || row >= d->model.rowCount())
        return false;
    return d->selection.rowIntersectsSelection(row, QModelIndex());
}

QList<qint16> ConnectionTable::selectedLines() const
{
    QList<qint16> lines;
    const int rows = d->model.rowCount();
    for (int row = 0; row < rows; ++row) {
        if (isSelected(row))
            lines.append(lineOfRow(row));
    }
    return lines;
}

void ConnectionTable::setTransferCells(qint16 line, const QString &sent, const QString &left)
{
    const int row = rowOfLine(line);
    if (row < 0)
        return;
    d->model.setData(d->model.index(row, BytesSent), sent, Qt::DisplayRole);
    d->model.setData(d->model.index(row, BytesLeft), left, Qt::DisplayRole);
}
