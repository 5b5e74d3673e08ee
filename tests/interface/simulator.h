#pragma once
// The interface simulator (tools/interface_sim.py) on a real pseudo-terminal, started and stopped
// by the test, and what it saw on the wire.
#include "common/helper_process.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>
#include <vector>

class Simulator : public Helper {
public:
    // Starts the simulator with COM<port> in devicesDir; waits for its "ready" line.
    Simulator(const QString& devicesDir, int port, const QStringList& options = {});

    // Every byte received so far, in order, with the baud rate in force when it was read.
    struct Chunk {
        int baud;
        QByteArray bytes;
    };
    std::vector<Chunk> received() const;
    QByteArray receivedBytes() const;
    // How many device-information requests reached the unit, prefixed or not.
    int requestCount() const;

private:
    QString logPath_;
};

// A temporary devices folder made the one the link maps COM names into, for one test.
class DevicesFolder {
public:
    DevicesFolder();
    ~DevicesFolder();
    QString path() const { return dir_.path(); }

private:
    QTemporaryDir dir_;
};
