#pragma once
// The Active Connections table: an item model of seven text columns with a
// hidden line key per row, and the selection model whose marks decide which
// lines the operator's close and the replies address. The window's ListView1
// shows these very models.
//
// Nothing here waits or processes events. The line key is kept as plain
// decimal text under Qt::UserRole of column 0 (lineKeyRole). A row counts as
// selected when any of its cells is selected, whatever the view's mode.

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <memory>

class QAbstractItemModel;
class QItemSelectionModel;

class ConnectionTable {
    // Owns its models, which views and the selection refer to by address.
    Q_DISABLE_COPY_MOVE(ConnectionTable)
public:
    static constexpr int kColumnCount = 7;
    static constexpr int lineKeyRole = 0x0100; // Qt::UserRole
    enum Column { IPAddress = 0, LineNumber, Local, Remote, Type, BytesSent, BytesLeft };

    ConnectionTable();
    ~ConnectionTable();

    QAbstractItemModel *model() const;
    QItemSelectionModel *selectionModel() const;

    // Column headers and widths in twips (1/1440 inch).
    static QStringList columnHeaders();
    static QList<int> columnWidthsTwips();
    static int twipsToPixels(int twips, double dotsPerInch);
    // Start-up: adds the seven column headers.
    void addColumns();

    void addListenerRow(qint16 line, const QString &localIP, quint16 localPort);
    // Appended and marked selected; other marks are kept.
    void addConnectionRow(qint16 line, const QString &remoteIP, quint16 localPort, quint16 remotePort);

    int rowCount() const;
    int rowOfLine(qint16 line) const;        // first row from the top, -1 if none
    void removeRowOfLine(qint16 line);       // nothing when the line has no row
    qint16 lineOfRow(int row) const;         // the row's line key as a number
    void removeRow(int row);                 // nothing when out of range
    QString cell(int row, int column) const; // column 0..6
    bool isSelected(int row) const;
    // Selected rows' lines, top to bottom.
    QList<qint16> selectedLines() const;
    // Sets "Bytes Sent" and "Bytes Left" of the line's row, if any.
    void setTransferCells(qint16 line, const QString &sent, const QString &left);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
