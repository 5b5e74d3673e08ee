#pragma once
// The calls into a database driver, run on a thread of their own.
//
// A server can hold a driver's call without end (a reply that never finishes, a cancel it never
// acknowledges), and where the system gives no way to cut the driver's link (see DriverSockets.h)
// nothing makes the call return. The launcher must still go on: it posts each call to this thread
// and waits for it until the call's bound; past the bound it gives the thread up. A thread given
// up is left alone: its call keeps what it holds, and when (if ever) the call returns, the thread
// ends by itself. A job therefore owns everything it touches (through shared pointers), never
// the caller's locals.
//
// QtSql's connections belong to the thread that made them, so every call on one connection
// (opening, statements, closing) goes to the same thread, one after the other.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class DriverThread {
public:
    using Clock = std::chrono::steady_clock;

    // One job posted to the thread.
    class Call {
    public:
        // Whether the job has finished by when (waits until then, without spinning).
        bool waitUntil(Clock::time_point when);

    private:
        friend class DriverThread;
        void finish();

        std::mutex mutex_;
        std::condition_variable finished_;
        bool done_ = false;
    };

    DriverThread();
    // Lets the thread finish its jobs and joins it; a thread given up is detached instead.
    ~DriverThread();
    DriverThread(const DriverThread&) = delete;
    DriverThread& operator=(const DriverThread&) = delete;

    // Queues job behind the ones posted before. Not after giveUp.
    std::shared_ptr<Call> post(std::function<void()> job);
    // The thread's jobs are no longer waited for: the ones not started are dropped, and the one
    // running keeps the thread until it returns.
    void giveUp();
    bool givenUp() const { return givenUp_; }

private:
    struct Queue;
    std::shared_ptr<Queue> queue_; // shared with the thread, which may outlive this object
    std::thread thread_;
    bool givenUp_ = false;
};
