#pragma once
// Shared pieces of the FTP client's tests: a client aimed at a loopback server, and a recorder
// that turns the component's events into a list of short texts.
#include "ftp_servers.h"
#include "loopback_peer.h"
#include "net/FtpClient.h"

#include <QStringList>
#include <memory>
#include <string>

inline std::unique_ptr<TFtpClient> MakeClient(quint16 port, bool passive = true) {
    TestApp();
    auto c = std::make_unique<TFtpClient>();
    c->SetHost(QStringLiteral("127.0.0.1"));
    c->SetPort(port);
    c->SetUserID(QStringLiteral("velk"));
    c->SetPassword(QStringLiteral("secret"));
    c->SetPassive(passive);
    return c;
}

// Events as texts: "connect", "connectionfailed", "success:K", "unsupported:K", "start",
// "stop"; status texts (level 1) go to Status.
struct Recorder {
    QStringList Events;
    QStringList Status;

    void Attach(TFtpClient& c) {
        c.SetReportLevel(1);
        c.OnStatus = [this](QObject*, const QString& s) { Status << s; };
        c.OnConnect = [this](QObject*) { Events << QStringLiteral("connect"); };
        c.OnConnectionFailed = [this](QObject*) { Events << QStringLiteral("connectionfailed"); };
        c.OnSuccess = [this](TCmdType k) { Events << QStringLiteral("success:%1").arg(int(k)); };
        c.OnUnSupportedFunction = [this](TCmdType k) {
            Events << QStringLiteral("unsupported:%1").arg(int(k));
        };
        c.OnTransactionStart = [this](QObject*) { Events << QStringLiteral("start"); };
        c.OnTransactionStop = [this](QObject*) { Events << QStringLiteral("stop"); };
    }
    // OnFailure that records "failure:K" and answers Handled with handles.
    void HandleFailures(TFtpClient& c, bool handles) {
        c.OnFailure = [this, handles](bool& Handled, TCmdType k) {
            Events << QStringLiteral("failure:%1").arg(int(k));
            Handled = handles;
        };
    }
};

inline std::string Text(const std::exception& e) {
    return e.what();
}
