#pragma once
// The calls into a database driver, run on a thread of their own.
//
// A server can hold a driver's call without end (a reply that never finishes, a cancel it never
// acknowledges), and where the system gives no way to cut the driver's link (see DriverSockets.h)
// nothing makes the call return. The launcher must still go on: it posts each call to a driver
// thread and waits for it until the call's bound; past the bound it gives the thread up. A thread
// given up is left alone: its call keeps what it holds, and when (if ever) the call returns, the
// thread releases it and then waits for nothing, for good. A job therefore owns everything it
// touches (through shared pointers), never the caller's locals.
//
// QtSql's connections belong to the thread that made them, so every call on one connection
// (opening, statements, closing) goes to the same thread, one after the other.
//
// Driver threads never end while the process runs: one that its connection no longer needs
// serves the next connection. A thread's end runs the destructors of the thread-local objects
// that the drivers and Qt left on it, and with the Windows toolchain's thread-local storage these
// run after that storage was freed (seen as a crash at the end of a thread that had loaded the
// SQLite driver). A parked thread costs a stack and nothing else.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

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

    // Takes a driver thread that no connection uses, or starts one.
    DriverThread();
    // Hands the thread on to the next connection once its jobs are done; a thread given up is
    // never handed on.
    ~DriverThread();
    DriverThread(const DriverThread&) = delete;
    DriverThread& operator=(const DriverThread&) = delete;

    // Queues job behind the ones posted before. Not after giveUp.
    std::shared_ptr<Call> post(std::function<void()> job);
    // The thread's jobs are no longer waited for: the ones not started are dropped, and the one
    // running keeps the thread.
    void giveUp();
    bool givenUp() const { return givenUp_; }

    struct Worker;

private:
    static void serve(const std::shared_ptr<Worker>& worker);

    std::shared_ptr<Worker> worker_;
    bool givenUp_ = false;
};
