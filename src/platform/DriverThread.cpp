#include "DriverThread.h"

#include <deque>
#include <utility>

struct DriverThread::Queue {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::pair<std::function<void()>, std::shared_ptr<Call>>> jobs;
    bool closing = false; // no more jobs: the thread ends once the queue is empty
};

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

DriverThread::DriverThread() : queue_(std::make_shared<Queue>()) {
    thread_ = std::thread([queue = queue_] {
        for (;;) {
            std::function<void()> job;
            std::shared_ptr<Call> call;
            {
                std::unique_lock<std::mutex> lock(queue->mutex);
                queue->wake.wait(lock, [&] { return queue->closing || !queue->jobs.empty(); });
                if (queue->jobs.empty())
                    return;
                job = std::move(queue->jobs.front().first);
                call = std::move(queue->jobs.front().second);
                queue->jobs.pop_front();
            }
            job();
            // What the job held goes here, on this thread, before the caller hears of the end:
            // a driver's objects are released on the thread that used them.
            job = nullptr;
            call->finish();
        }
    });
}

DriverThread::~DriverThread() {
    {
        const std::lock_guard<std::mutex> lock(queue_->mutex);
        queue_->closing = true;
    }
    queue_->wake.notify_all();
    if (givenUp_)
        thread_.detach();
    else
        thread_.join();
}

std::shared_ptr<DriverThread::Call> DriverThread::post(std::function<void()> job) {
    auto call = std::make_shared<Call>();
    {
        const std::lock_guard<std::mutex> lock(queue_->mutex);
        queue_->jobs.emplace_back(std::move(job), call);
    }
    queue_->wake.notify_all();
    return call;
}

void DriverThread::giveUp() {
    givenUp_ = true;
    const std::lock_guard<std::mutex> lock(queue_->mutex);
    queue_->jobs.clear();
}
