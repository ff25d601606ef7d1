#include "app/OperatorActions.h"

#include "app/OperatorLog.h"
#include "app/Server.h"
#include "library/SongCatalogue.h"
#include "net/ConnectionTable.h"
#include "net/Lines.h"

#include <QAbstractItemModel>
#include <QItemSelection>
#include <QItemSelectionModel>

OperatorActions::OperatorActions(Server &server) : mServer(server)
{
}

void OperatorActions::setIP(const QString &text)
{
    mServer.setTxtIP(text);
}

void OperatorActions::setPort(const QString &text)
{
    mServer.setTxtPort(text);
}

void OperatorActions::setMusicFolder(const QString &text)
{
    mServer.setTxtMusicFolder(text);
}

void OperatorActions::setHideSystemMessages(bool hide)
{
    mServer.setHideSystemMessages(hide);
}

void OperatorActions::listen()
{
    // The fields are read at the click, as the button does: an edit made
    // while an earlier Listen waited counts for this one.
    const QString ip = mServer.fields().ip;
    const QString port = mServer.fields().port;
    mServer.lines().cmdListen_Click(ip, port);
}

void OperatorActions::reload()
{
    mServer.catalogue().cmdReload_Click();
}

void OperatorActions::closeSelected()
{
    mServer.lines().cmdClose_Click();
}

void OperatorActions::selectLines(const QList<qint16> &lines)
{
    ConnectionTable &table = mServer.table();
    QItemSelectionModel *selection = table.selectionModel();
    QAbstractItemModel *model = table.model();
    if (!selection || !model)
        return;
    QItemSelection wanted;
    const int lastColumn = model->columnCount() - 1;
    for (int row = 0; row < table.rowCount(); ++row) {
        if (lines.contains(table.lineOfRow(row)))
            wanted.select(model->index(row, 0), model->index(row, qMax(0, lastColumn)));
    }
    selection->select(wanted, QItemSelectionModel::ClearAndSelect);
}

void OperatorActions::clearPane(int index)
{
    mServer.log().cmdClear_Click(index);
}

void OperatorActions::exit()
{
    // A copy: the handler may install another one while it runs.
    if (const std::function<void()> handler = mExit)
        handler();
}

void OperatorActions::setExitHandler(std::function<void()> handler)
{
    mExit = std::move(handler);
}
