#pragma once
// Test peers on 127.0.0.1: a listening socket whose first connection is served by a scripted
// thread with plain blocking calls, independent of the event loop the component under test pumps.
#include <QCoreApplication>
#include <QString>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

// The application object the components need (created once for the whole test binary).
QCoreApplication* TestApp();

class LoopbackPeer {
public:
    explicit LoopbackPeer(int backlog = 4);
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    quint16 Port() const { return port_; }
    int ListenFd() const { return listenFd_; }
    // Accepts one connection and runs script on it in a thread; the connection is closed when
    // the script returns (CloseNow inside the script closes it earlier).
    void Serve(std::function<void(int& fd)> script);
    // Waits for the script thread to end.
    void Join();
    bool Accepted() const { return accepted_; }

private:
    int listenFd_ = -1;
    quint16 port_ = 0;
    std::thread thread_;
    std::atomic<bool> accepted_{false};
};

// Blocking helpers for peer scripts (each gives up after a few seconds so a failing test ends).
void SendAll(int fd, const std::string& bytes);
std::string RecvLine(int fd); // up to and including LF; "" on close or time-out
std::string RecvAll(int fd);  // until the other side closes
void CloseNow(int& fd);
void SleepMs(int ms);
// A loopback port that nobody listens on (bound once and released).
quint16 UnusedPort();
// Connects to 127.0.0.1:port with a blocking socket; -1 on failure.
int ConnectTo(quint16 port);

// Pumps events until cond() holds or ms have passed; returns cond().
bool PumpUntil(const std::function<bool()>& cond, int ms);
// Process CPU time (user + system) in seconds.
double CpuSeconds();
