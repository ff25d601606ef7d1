// How lines end: the peer's close, an error, the operator's close of the
// selected rows and the program's own close; and the Connect event.
#include "net/Lines.h"

#include "net/ConnectionTable.h"
#include "net/Winsock.h"

void Lines::Winsock_Close(qint16 line)
{
    if (!validLine(line))
        return;
    setLineBusy(line, false);
    const QString remote = mWinsock[line] ? mWinsock[line]->RemoteHostIP() : QString();
    AddLog(QStringLiteral("Line #") + QString::number(line) + QStringLiteral(" - ") + remote
           + QStringLiteral(": closed connection."));
    FreeLine(line);
}

void Lines::Winsock_Error(qint16 line, int number, const QString &description)
{
    if (!validLine(line))
        return;
    AddLog(signPadded(line) + QStringLiteral(" - Winsock Err #") + QString::number(number)
           + QStringLiteral(" - ") + description);
    setLineBusy(line, false);
    FreeLine(line);
}

void Lines::Winsock_Connect(qint16 line)
{
    Winsock *socket = this->socket(line);
    if (!socket)
        return;
    AddLog(QStringLiteral("Connected to ") + socket->RemoteHostIP() + QStringLiteral(" - ")
           + QString::number(socket->RemotePort()));
}

void Lines::cmdClose_Click()
{
    ConnectionTable &table = *mTable;
    for (;;) {
        int row = -1;
        for (int r = 0; r < table.rowCount(); ++r) {
            if (table.isSelected(r)) {
                row = r;
                break;
            }
        }
        if (row < 0)
            return;
        const int rowsBefore = table.rowCount();
        const qint16 line = table.lineOfRow(row);
        Winsock *socket = this->socket(line);
        QString address = socket ? socket->RemoteHostIP() : QString();
        if (table.cell(row, ConnectionTable::Type) == QStringLiteral("Listen") && address.isEmpty())
            address = QStringLiteral("Listen ") + (socket ? socket->LocalIP() : QString());
        else if (address.isEmpty())
            address = QStringLiteral("Not Connected");
        AddLog(QStringLiteral("User Closed Line #") + signPadded(line) + QStringLiteral(" - ") + address);
        if (socket)
            socket->Close();
        setLineBusy(line, false);
        FreeLine(line);
        // A row whose key names no line would never be removed by FreeLine
        // and would keep this loop going for ever.
        if (table.rowCount() == rowsBefore)
            table.removeRow(row);
    }
}

bool Lines::closeLine(qint16 line, std::uint64_t expectedGeneration)
{
    Winsock *socket = this->socket(line);
    if (!lineInUse(line) || mGeneration[line] != expectedGeneration || !socket
        || socket->State() == Winsock::sckListening)
        return false;
    socket->Close();
    FreeLine(line);
    return true;
}
