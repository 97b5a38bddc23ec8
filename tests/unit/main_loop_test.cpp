// Work posted or timed for an owner never runs into an owner that has gone, and a worker
// runs its jobs in order and all of them.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "container/base/main_loop.hpp"
#include "tests/support/fakes.hpp"

namespace lumora {
namespace {

TEST(LoopOwner, WorkAndTimersGoWithTheOwner) {
    test::FakeMainLoop loop;
    std::vector<std::string> ran;
    std::function<void()> fromAnotherThread;
    {
        LoopOwner owner(loop);
        owner.post([&] { ran.push_back("posted"); });
        owner.after(1, [&] { ran.push_back("once"); });
        owner.every(1, [&] { ran.push_back("tick"); });
        loop.advance(1.5);
        EXPECT_EQ(ran, (std::vector<std::string>{"posted", "once", "tick"}));
        owner.post([&] { ran.push_back("late post"); });
        owner.after(5, [&] { ran.push_back("late timer"); });
        fromAnotherThread = owner.poster([&] { ran.push_back("late callback"); });
        fromAnotherThread();  // posted while the owner lives, run after it has gone
    }
    std::thread([&] { fromAnotherThread(); }).join();
    loop.advance(10);
    EXPECT_EQ(ran.size(), 3u);
    EXPECT_EQ(loop.pendingTimers(), 0u);
}

TEST(SerialWorker, RunsJobsInOrderAndFinishesThemAllBeforeItGoes) {
    std::vector<int> done;
    std::atomic<bool> release{false};
    {
        SerialWorker worker("test");
        worker.run([&] {
            while (!release) std::this_thread::yield();
            done.push_back(0);
        });
        for (int i = 1; i < 100; ++i) worker.run([&, i] { done.push_back(i); });
        EXPECT_EQ(worker.pending(), 100u);
        release = true;
        worker.drain();
        EXPECT_EQ(done.size(), 100u);
        for (int i = 100; i < 200; ++i) worker.run([&, i] { done.push_back(i); });
    }
    ASSERT_EQ(done.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(done[i], i);
}

}  // namespace
}  // namespace lumora
