#include "ConditionLock.h"

#include "QtPrinters.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace std::chrono_literals;
using testing_support::LogCapture;

namespace {

// Restores the waiting interval after a test shortened it.
struct ShortWaitingInterval {
    explicit ShortWaitingInterval(std::chrono::milliseconds interval) { ConditionLock::setWaitingLogInterval(interval); }
    ~ShortWaitingInterval() { ConditionLock::setWaitingLogInterval(10s); }
};

} // namespace

TEST(ConditionLock, StepsAnswerThePreviousConditionAndWakeTheWaiter)
{
    const auto lock = ConditionLock::condition(0, QStringLiteral("steps"));
    std::atomic<bool> proceeded{false};
    std::thread waiter([&] {
        lock->waitCondition(1);
        proceeded = true;
    });
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(proceeded);
    EXPECT_EQ(lock->signalIncCondition(), 0);
    waiter.join();
    EXPECT_TRUE(proceeded);
    EXPECT_TRUE(lock->isCondition(1));
    EXPECT_EQ(lock->signalDecCondition(), 1);
    EXPECT_EQ(lock->signalCondition(42), 0);
    EXPECT_EQ(lock->condition(), 42);
    // Waiting leaves the condition and the lock free.
    lock->waitCondition(42);
    EXPECT_TRUE(lock->tryLock());
    lock->unlock();
}

TEST(ConditionLock, WaitWithLimitAnswersNoAtTheLimit)
{
    const auto lock = ConditionLock::condition(5);
    EXPECT_TRUE(lock->waitCondition(5, QDeadlineTimer(0)));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(lock->waitCondition(6, QDeadlineTimer(50)));
    EXPECT_GE(std::chrono::steady_clock::now() - started, 45ms);
    EXPECT_TRUE(lock->isCondition(5));
}

TEST(ConditionLock, WaitingIsLoggedAtEachIntervalUntilTheValueComes)
{
    ShortWaitingInterval interval(30ms);
    LogCapture log;
    const auto lock = ConditionLock::condition(0, QStringLiteral("pipeline"));
    std::thread setter([&] {
        std::this_thread::sleep_for(200ms);
        lock->signalCondition(7);
    });
    lock->waitCondition(7);
    setter.join();
    const QStringList waits = log.messages().filter(QStringLiteral("Waiting for condition 7 in <ConditionLock: 0x"));
    EXPECT_GE(waits.size(), 2);
    EXPECT_TRUE(waits.first().endsWith(QStringLiteral("name = pipeline} \"pipeline\"")));
}

TEST(ConditionLock, NameIsSetOnlyWhenGivenAndHeldLockKeepsSettersWaiting)
{
    EXPECT_TRUE(ConditionLock::condition(0)->name().isNull());
    const auto lock = ConditionLock::condition(0, QStringLiteral(""));
    EXPECT_FALSE(lock->name().isNull());

    lock->lockWhenCondition(0);
    std::atomic<bool> set{false};
    std::thread setter([&] {
        lock->signalCondition(3);
        set = true;
    });
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(set);
    lock->unlock();
    setter.join();
    EXPECT_EQ(lock->condition(), 3);
}
