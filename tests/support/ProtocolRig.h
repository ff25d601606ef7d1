#pragma once
// A whole server on loopback over a music folder of its own, with player
// clients that connect to it; what the protocol tests drive.

#include "NetHarness.h"
#include "ProtocolClient.h"

#include "app/OperatorLog.h"
#include "app/Server.h"
#include "library/SongCatalogue.h"
#include "net/ConnectionTable.h"
#include "net/Lines.h"

#include <QFile>
#include <QItemSelectionModel>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

// A whole server on loopback over a music folder of its own. Every log entry
// is kept as it is appended (the log pane's purges hide none), and actions
// can wait for arrivals that hold a text.
struct Rig {
    Rig()
    {
        server.setTxtMusicFolder(music.path());
        QObject::connect(&server.log().logPane(), &MessagePane::appended, &server, [this](const QString &e) {
            entries << e;
            for (const auto &[text, action] : onArrival)
                if (e.contains(QLatin1String(" - msg=[") + text))
                    QTimer::singleShot(0, &server, action);
        });
    }
    // Names that are not UTF-8 are beyond QTemporaryDir's own clean-up.
    ~Rig() { std::filesystem::remove_all(path("").toStdString()); }

    QByteArray path(const QByteArray &relative) const { return QFile::encodeName(music.path()) + '/' + relative; }
    QString shown(const QByteArray &relative) const { return QFile::decodeName(path(relative)); }

    // Bytes that tell every offset of a song apart; a negative seed leaves holes.
    QByteArray addSong(const QByteArray &relative, qint64 size, int seed = 1)
    {
        const std::filesystem::path p(path(relative).toStdString());
        std::filesystem::create_directories(p.parent_path());
        QByteArray data(seed < 0 ? 0 : size, Qt::Uninitialized);
        for (qint64 i = 0; i < data.size(); ++i)
            data[i] = char(i * 7 + i / 251 + seed);
        std::ofstream(p, std::ios::binary).write(data.constData(), data.size());
        std::filesystem::resize_file(p, size);
        return data;
    }

    bool start()
    {
        server.log().setEchoToStdout(false);
        port = NetHarness::listenOnLoopback(server.lines());
        server.catalogue().LoadMP3List();
        return port != 0;
    }

    // A client whose row is in the table, selected as every new row is;
    // with a bounded receive buffer when one is given.
    ProtocolClient &connect(int receiveBuffer = 0)
    {
        ProtocolClient &c = *clients.emplace_back(std::make_unique<ProtocolClient>());
        if (receiveBuffer > 0)
            c.boundReceiveBuffer(receiveBuffer);
        const int rows = server.table().rowCount();
        c.socket.connectToHost(QHostAddress::LocalHost, port);
        if (c.waitUntil([&] { return server.table().rowCount() > rows; }))
            c.line = server.table().lineOfRow(rows);
        return c;
    }

    void selectOnly(qint16 line) // -1: none
    {
        server.table().selectionModel()->select(server.table().model()->index(server.table().rowOfLine(line), 0),
                                                QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }

    // One message as one arrival: waits until the server has logged it.
    bool sendOne(ProtocolClient &c, const QByteArray &text)
    {
        const int before = loggedWith(QStringLiteral(" - msg=["));
        c.send(text);
        return c.waitUntil([&] { return loggedWith(QStringLiteral(" - msg=[")) > before; });
    }

    // Nothing was sent to c that it has not taken: a sync's "!" comes next.
    bool nothingPending(ProtocolClient &c)
    {
        return c.available() == 0 && sendOne(c, "SYNC \r\n") && c.read(1) == "!" && c.available() == 0;
    }

    int logged(const QString &entry) const { return int(entries.count(entry + QStringLiteral("\r\n"))); }
    int loggedWith(const QString &part) const { return int(entries.filter(part).size()); }

    QTemporaryDir music;
    QStringList entries;
    std::vector<std::pair<QString, std::function<void()>>> onArrival;
    Server server;
    quint16 port = 0;
    std::vector<std::unique_ptr<ProtocolClient>> clients;
};
