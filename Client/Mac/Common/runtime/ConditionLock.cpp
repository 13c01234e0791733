#include "ConditionLock.h"

#include "Logging.h"

#include <atomic>

namespace {
std::atomic<int64_t> gWaitingLogIntervalMs{10000};
}

ConditionLock::ConditionLock(int64_t condition) : m_condition(condition) {}

std::shared_ptr<ConditionLock> ConditionLock::condition(int64_t condition, const QString& name)
{
    auto lock = std::make_shared<ConditionLock>(condition);
    if (!name.isNull())
        lock->setName(name);
    return lock;
}

void ConditionLock::lock()
{
    std::unique_lock guard(m_mutex);
    m_changed.wait(guard, [this] { return !m_held; });
    m_held = true;
}

bool ConditionLock::tryLock()
{
    std::lock_guard guard(m_mutex);
    if (m_held)
        return false;
    m_held = true;
    return true;
}

void ConditionLock::unlock()
{
    {
        std::lock_guard guard(m_mutex);
        m_held = false;
    }
    m_changed.notify_all();
}

void ConditionLock::lockWhenCondition(int64_t value)
{
    lockWhenCondition(value, QDeadlineTimer(QDeadlineTimer::Forever));
}

bool ConditionLock::lockWhenCondition(int64_t value, QDeadlineTimer deadline)
{
    std::unique_lock guard(m_mutex);
    const auto available = [this, value] { return !m_held && m_condition == value; };
    if (deadline.isForever())
        m_changed.wait(guard, available);
    else if (!m_changed.wait_for(guard, std::chrono::nanoseconds(deadline.remainingTimeNSecs()), available))
        return false;
    m_held = true;
    return true;
}

void ConditionLock::unlockWithCondition(int64_t value)
{
    {
        std::lock_guard guard(m_mutex);
        m_held = false;
        m_condition = value;
    }
    m_changed.notify_all();
}

int64_t ConditionLock::condition() const
{
    std::lock_guard guard(m_mutex);
    return m_condition;
}

QString ConditionLock::name() const
{
    std::lock_guard guard(m_mutex);
    return m_name;
}

void ConditionLock::setName(const QString& name)
{
    std::lock_guard guard(m_mutex);
    m_name = name;
}

QString ConditionLock::description() const
{
    std::lock_guard guard(m_mutex);
    return qbFormat("<ConditionLock: 0x%1>{condition = %2, name = %3}", QString::number(quintptr(this), 16), m_condition,
                    m_name.isNull() ? QStringLiteral("nil") : m_name);
}

void ConditionLock::waitCondition(int64_t value)
{
    while (!lockWhenCondition(value, QDeadlineTimer(std::chrono::milliseconds(gWaitingLogIntervalMs.load())))) {
        logDetail("Waiting for condition %1 in %2 \"%3\"", value, description(), name());
    }
    unlock();
}

bool ConditionLock::waitCondition(int64_t value, QDeadlineTimer limit)
{
    if (!lockWhenCondition(value, limit))
        return false;
    unlock();
    return true;
}

int64_t ConditionLock::signalCondition(int64_t value)
{
    lock();
    const int64_t previous = condition();
    unlockWithCondition(value);
    return previous;
}

int64_t ConditionLock::signalIncCondition()
{
    lock();
    const int64_t previous = condition();
    unlockWithCondition(previous + 1);
    return previous;
}

int64_t ConditionLock::signalDecCondition()
{
    lock();
    const int64_t previous = condition();
    unlockWithCondition(previous - 1);
    return previous;
}

bool ConditionLock::isCondition(int64_t value)
{
    lock();
    const bool equal = condition() == value;
    unlock();
    return equal;
}

void ConditionLock::setWaitingLogInterval(std::chrono::milliseconds interval)
{
    gWaitingLogIntervalMs = interval.count();
}
