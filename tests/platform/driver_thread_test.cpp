// The thread that a database connection's driver calls run on: calls in order, on one thread of
// their own; a call that never returns is given up at its bound without holding the caller, and
// what it holds stays alive until it does return.
#include "platform/DriverThread.h"

#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = DriverThread::Clock;

// Calls run in order on a thread that is not the caller's; the thread outlives its connection and
// serves the next one (a thread's end is what the drivers' thread-local objects do not survive).
TEST(DriverThreadTest, CallsRunInOrderOnAThreadThatServesTheNextConnection) {
    auto order = std::make_shared<std::vector<int>>();
    auto threads = std::make_shared<std::vector<std::thread::id>>();
    {
        DriverThread thread;
        std::shared_ptr<DriverThread::Call> last;
        for (int i = 0; i < 5; ++i)
            last = thread.post([order, threads, i] {
                order->push_back(i);
                threads->push_back(std::this_thread::get_id());
            });
        EXPECT_TRUE(last->waitUntil(Clock::now() + 10s));
    }
    EXPECT_EQ(*order, (std::vector<int>{0, 1, 2, 3, 4}));
    ASSERT_EQ(threads->size(), 5u);
    for (std::thread::id id : *threads) {
        EXPECT_EQ(id, threads->front());
        EXPECT_NE(id, std::this_thread::get_id());
    }
    DriverThread next;
    auto seen = std::make_shared<std::thread::id>();
    EXPECT_TRUE(
        next.post([seen] { *seen = std::this_thread::get_id(); })->waitUntil(Clock::now() + 10s));
    EXPECT_EQ(*seen, threads->front());
}

// A call held without end (here until the test lets it go): the caller waits for its bound only,
// gives the thread up and goes on at once; calls queued behind it never run; the next connection
// gets another thread; what the held call owns is intact when it finally returns, and released
// on its thread.
TEST(DriverThreadTest, AHeldCallIsGivenUpAtItsBoundAndLeftToFinishAlone) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    auto finished = std::make_shared<std::promise<int>>();
    std::future<int> result = finished->get_future();
    auto dropped = std::make_shared<std::atomic<bool>>(false);
    auto owned = std::make_shared<std::vector<int>>(1000, 7);
    std::weak_ptr<std::vector<int>> ownedWatch = owned;

    const auto start = Clock::now();
    auto heldOn = std::make_shared<std::thread::id>();
    {
        DriverThread thread;
        auto held = thread.post([released, finished, heldOn, owned = std::move(owned)] {
            *heldOn = std::this_thread::get_id();
            released.wait();
            int sum = 0;
            for (int v : *owned)
                sum += v;
            finished->set_value(sum);
        });
        thread.post([dropped] { *dropped = true; });
        EXPECT_FALSE(held->waitUntil(start + 200ms));
        EXPECT_GE(Clock::now() - start, 200ms);
        thread.giveUp();
        EXPECT_TRUE(thread.givenUp());
    }
    // Destroying the thread object did not wait for the held call.
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_FALSE(ownedWatch.expired());
    {
        DriverThread next;
        auto seen = std::make_shared<std::thread::id>();
        EXPECT_TRUE(next.post([seen] { *seen = std::this_thread::get_id(); })
                        ->waitUntil(Clock::now() + 10s));
        EXPECT_NE(*seen, *heldOn);
    }

    release.set_value();
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(result.get(), 7000);
    // The call released what it owned on its own thread once it returned.
    for (int i = 0; i < 100 && !ownedWatch.expired(); ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(ownedWatch.expired());
    EXPECT_FALSE(*dropped);
}

} // namespace
