// A helper process a test starts and owns: a scripted server, the interface simulator.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

// A helper process that prints one line ("ready ..." / "PORT n") once it is up.
class Helper {
public:
    Helper(const QString& program, const QStringList& args, const QByteArray& readyPrefix,
           const QString& errorLog = QString()) {
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        if (!errorLog.isEmpty())
            process_.setStandardErrorFile(errorLog);
        process_.start(program, args);
        QByteArray out;
        while (!out.contains('\n') && process_.waitForReadyRead(5000))
            out += process_.readAllStandardOutput();
        line_ = out.trimmed();
        ready_ = out.startsWith(readyPrefix);
    }
    ~Helper() {
        process_.closeWriteChannel();
        process_.terminate();
        if (!process_.waitForFinished(3000))
            process_.kill();
        process_.waitForFinished(1000);
    }
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;
    bool ready() const { return ready_; }
    // SIGKILL: the process ends without closing anything itself, as a crashed server would.
    void kill() {
        process_.kill();
        process_.waitForFinished(3000);
    }
    QByteArray line() const { return line_; }

private:
    QProcess process_;
    QByteArray line_;
    bool ready_ = false;
};
