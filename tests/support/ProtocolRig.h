#pragma once
// The protocol on loopback without a server around it: the lines, the song
// catalogue and the interpreter wired as the program wires them, with fakes
// for what the program gives them, over a music folder of its own; and
// player clients that connect to it. What the protocol tests drive.

#include "NetHarness.h"
#include "ProtocolClient.h"

#include "library/ScanServices.h"
#include "library/SongCatalogue.h"
#include "net/ConnectionTable.h"
#include "net/LineServices.h"
#include "net/Lines.h"
#include "protocol/Interpreter.h"
#include "protocol/ProtocolServices.h"

#include <QCoreApplication>
#include <QEventLoop>
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

// The fakes keep every log entry as it is logged and the incoming pane's
// text; the information box logs its text (as the program does without a
// display); waits and pumps run the test's own event loop. Actions can wait
// for arrivals that hold a text.
struct Rig {
    Rig()
        : musicFolder(music.path()),
          lines(NetHarness::loopbackServices([this](const QString &e) { log(e); }, exiting)),
          catalogue(ScanServices{[this](const QString &e) { log(e); }, [this] { return exiting; },
                                 &Rig::pumpEvents, [this] { return musicFolder; }}),
          interpreter(ProtocolServices{[this](const QString &e) { log(e); },
                                       [this](const QString &text) { incoming += text; },
                                       [] { return false; }, [this](const QString &text) { log(text); },
                                       [this] { return exiting; }, &Rig::pumpEvents},
                      lines, catalogue)
    {
    }
    // Names that are not UTF-8 are beyond QTemporaryDir's own clean-up.
    ~Rig() { std::filesystem::remove_all(path("").toStdString()); }

    QByteArray path(const QByteArray &relative) const
    {
        return QFile::encodeName(music.path()) + '/' + relative;
    }
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
        port = NetHarness::listenOnLoopback(lines);
        catalogue.LoadMP3List();
        return port != 0;
    }

    ConnectionTable &table() { return lines.table(); }

    // A client whose row is in the table, selected as every new row is;
    // with a bounded receive buffer when one is given.
    ProtocolClient &connect(int receiveBuffer = 0)
    {
        ProtocolClient &c = *clients.emplace_back(std::make_unique<ProtocolClient>());
        if (receiveBuffer > 0)
            c.boundReceiveBuffer(receiveBuffer);
        const int rows = table().rowCount();
        c.socket.connectToHost(QHostAddress::LocalHost, port);
        if (c.waitUntil([&] { return table().rowCount() > rows; }))
            c.line = table().lineOfRow(rows);
        return c;
    }

    void selectOnly(qint16 line) // -1: none
    {
        table().selectionModel()->select(table().model()->index(table().rowOfLine(line), 0),
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

    int logged(const QString &entry) const { return int(entries.count(entry)); }
    int loggedWith(const QString &part) const { return int(entries.filter(part).size()); }

    // The exit work as far as the protocol sees it: no wait goes on, every
    // socket closes without an event.
    void beginExit()
    {
        exiting = true;
        lines.closeAllSilently();
    }

    static void pumpEvents() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

    void log(const QString &entry)
    {
        entries << entry;
        if (watch)
            watch(entry);
        for (const auto &[text, action] : onArrival)
            if (entry.contains(QLatin1String(" - msg=[") + text))
                QTimer::singleShot(0, &context, action);
    }

    QTemporaryDir music;
    // --- what the program around the protocol would hold ---------------------------
    QStringList entries;  // the operator log, one entry each, as logged
    QString incoming;     // the incoming-messages pane
    bool exiting = false; // the exit work has begun
    QString musicFolder;  // the music-folder field
    // Sees every log entry as it is logged, nested wherever the server is.
    std::function<void(const QString &)> watch;
    std::vector<std::pair<QString, std::function<void()>>> onArrival;
    QObject context; // what the test's timers and connections run in

    Lines lines;
    SongCatalogue catalogue;
    Interpreter interpreter;
    quint16 port = 0;
    std::vector<std::unique_ptr<ProtocolClient>> clients;
};
