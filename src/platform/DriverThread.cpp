#include "DriverThread.h"

#include <deque>
#include <thread>
#include <utility>
#include <vector>

struct DriverThread::Worker {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::pair<std::function<void()>, std::shared_ptr<Call>>> jobs;
    bool givenUp = false; // the thread runs no more jobs once the current one returns
};

namespace {

// The driver threads that no connection uses now. Never destroyed: the threads outlive every
// static object, and a parked thread must still find its worker at the process's end.
struct IdleWorkers {
    std::mutex mutex;
    std::vector<std::shared_ptr<DriverThread::Worker>> workers;
};

IdleWorkers& idleWorkers() {
    static IdleWorkers* idle = new IdleWorkers;
    return *idle;
}

} // namespace

void DriverThread::serve(const std::shared_ptr<Worker>& worker) {
    std::unique_lock<std::mutex> lock(worker->mutex);
    for (;;) {
        worker->wake.wait(lock, [&] { return worker->givenUp || !worker->jobs.empty(); });
        if (worker->givenUp)
            break;
        std::function<void()> job = std::move(worker->jobs.front().first);
        std::shared_ptr<Call> call = std::move(worker->jobs.front().second);
        worker->jobs.pop_front();
        lock.unlock();
        job();
        // What the job held goes here, on this thread, before the caller hears of the end: a
        // driver's objects are released on the thread that used them.
        job = nullptr;
        call->finish();
        lock.lock();
    }
    // Given up: parked for good (see the header for why it does not end).
    worker->wake.wait(lock, [] { return false; });
}

bool DriverThread::Call::waitUntil(Clock::time_point when) {
    std::unique_lock<std::mutex> lock(mutex_);
    return finished_.wait_until(lock, when, [this] { return done_; });
}

void DriverThread::Call::finish() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
    }
    finished_.notify_all();
}

DriverThread::DriverThread() {
    IdleWorkers& idle = idleWorkers();
    {
        const std::lock_guard<std::mutex> lock(idle.mutex);
        if (!idle.workers.empty()) {
            worker_ = std::move(idle.workers.back());
            idle.workers.pop_back();
            return;
        }
    }
    worker_ = std::make_shared<Worker>();
    std::thread([worker = worker_] { serve(worker); }).detach();
}

DriverThread::~DriverThread() {
    if (givenUp_)
        return;
    // The connection waited for each call it posted, or gave the thread up: nothing is queued.
    IdleWorkers& idle = idleWorkers();
    const std::lock_guard<std::mutex> lock(idle.mutex);
    idle.workers.push_back(std::move(worker_));
}

std::shared_ptr<DriverThread::Call> DriverThread::post(std::function<void()> job) {
    auto call = std::make_shared<Call>();
    {
        const std::lock_guard<std::mutex> lock(worker_->mutex);
        worker_->jobs.emplace_back(std::move(job), call);
    }
    worker_->wake.notify_all();
    return call;
}

void DriverThread::giveUp() {
    givenUp_ = true;
    std::deque<std::pair<std::function<void()>, std::shared_ptr<Call>>> dropped;
    {
        const std::lock_guard<std::mutex> lock(worker_->mutex);
        worker_->givenUp = true;
        dropped.swap(worker_->jobs);
    }
    worker_->wake.notify_all();
}
