#pragma once
// A lock that carries an integer condition: it can be taken only when the
// condition has a given value, and is released setting a new value. The
// waitable operations let one thread wait for a numbered state that other
// threads set or step.

#include <QDeadlineTimer>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

class ConditionLock {
public:
    explicit ConditionLock(int64_t condition = 0);
    ConditionLock(const ConditionLock&) = delete;
    ConditionLock& operator=(const ConditionLock&) = delete;

    // A new lock with that condition; the name is set only when given.
    static std::shared_ptr<ConditionLock> condition(int64_t condition, const QString& name = {});

    // The plain lock.
    void lock();
    bool tryLock();
    void unlock();
    // Takes the lock once the condition equals `value`; false at the deadline.
    void lockWhenCondition(int64_t value);
    bool lockWhenCondition(int64_t value, QDeadlineTimer deadline);
    // Releases the lock, setting the condition and waking its waiters.
    void unlockWithCondition(int64_t value);

    int64_t condition() const;
    QString name() const;
    void setName(const QString& name);
    QString description() const;

    // Waitable: blocks until the condition equals `value`, saying so in the
    // log at detailed level every waiting interval; the condition is left as it is.
    void waitCondition(int64_t value);
    // The same with a limit: false when it came first.
    bool waitCondition(int64_t value, QDeadlineTimer limit);
    // Each answers the previous condition.
    int64_t signalCondition(int64_t value);
    int64_t signalIncCondition();
    int64_t signalDecCondition();
    bool isCondition(int64_t value);

    // How long waitCondition waits between its log lines (10 s; tests shorten it).
    static void setWaitingLogInterval(std::chrono::milliseconds interval);

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_held = false;
    int64_t m_condition;
    QString m_name;
};
