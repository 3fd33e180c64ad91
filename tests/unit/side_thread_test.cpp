// The side thread: jobs run one at a time, off the caller's thread, and their ends and
// failures reach the caller.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/SideThread.h"

namespace quorlin {
namespace {

TEST(SideThreadTest, JobsRunInTurnOnOneOtherThread) {
    base::SideThread side;
    std::vector<int> order;  // written by the jobs, read here only after Wait
    std::vector<std::thread::id> threads;
    for (int i = 0; i < 5; ++i) {
        side.Run([&, i] {
            std::this_thread::sleep_for(std::chrono::milliseconds(i == 0 ? 20 : 0));
            order.push_back(i);
            threads.push_back(std::this_thread::get_id());
        });
    }
    side.Wait();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_NE(threads.front(), std::this_thread::get_id());
    EXPECT_EQ(std::count(threads.begin(), threads.end(), threads.front()), 5);
}

TEST(SideThreadTest, AFailureReachesTheCallerOnce) {
    base::SideThread side;
    side.Run([] { throw std::runtime_error("decoder"); });
    EXPECT_THROW(side.Wait(), std::runtime_error);
    EXPECT_NO_THROW(side.Wait());

    // Not waited for: the next hand-over reports it and does not run its own job.
    bool ran = false;
    side.Run([] { throw std::runtime_error("decoder"); });
    EXPECT_THROW(side.Run([&] { ran = true; }), std::runtime_error);
    side.Wait();
    EXPECT_FALSE(ran);
}

TEST(SideThreadTest, TheEndWaitsForARunningJob) {
    std::atomic<bool> done{false};
    {
        base::SideThread side;
        side.Run([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            done = true;
        });
    }
    EXPECT_TRUE(done);
    base::SideThread unused;  // never started: nothing to join
}

}  // namespace
}  // namespace quorlin
