#pragma once
// A minimal io_uring submission ring for batches of file operations: many
// opens, reads or closes handed to the kernel with one call instead of one
// call each. Linux only; used inside platform/linux.

#include <cstdint>
#include <sys/types.h>

namespace platform::linux_io {

class IoRing {
public:
    // `entries` is the most operations one batch may hold. A kernel without
    // io_uring (or one that refuses it) gives a ring that is not valid().
    explicit IoRing(unsigned entries);
    ~IoRing();
    IoRing(const IoRing&) = delete;
    IoRing& operator=(const IoRing&) = delete;

    bool valid() const { return m_fd >= 0; }
    unsigned capacity() const { return m_entries; }

    // Each queues one operation; `tag` comes back with its result. False
    // when the batch is full.
    bool queueOpen(const char* path, int flags, uint64_t tag);
    bool queueRead(int fd, void* buffer, unsigned length, uint64_t offset, uint64_t tag);
    bool queueClose(int fd, uint64_t tag);

    // Submits what is queued and waits until every operation has finished;
    // `done(tag, result)` gets each result (-errno on failure). An operation
    // the kernel refused to take is reported as -ECANCELED: it was not done.
    // False when the kernel refused operations or waiting failed; after a
    // failed wait, operations not reported may or may not have been done.
    template <typename Done>
    bool run(Done&& done)
    {
        return runWith(&done,
                       [](void* context, uint64_t tag, int32_t result) { (*static_cast<Done*>(context))(tag, result); });
    }

private:
    using Callback = void (*)(void*, uint64_t, int32_t);
    bool runWith(void* context, Callback callback);
    struct Sqe;
    Sqe* nextSqe();
    unsigned reap(void* context, Callback callback);

    int m_fd = -1;
    unsigned m_entries = 0;
    unsigned m_queued = 0;
    void* m_rings = nullptr;
    size_t m_ringsSize = 0;
    void* m_sqes = nullptr;
    size_t m_sqesSize = 0;
    unsigned* m_sqHead = nullptr;
    unsigned* m_sqTail = nullptr;
    unsigned m_sqMask = 0;
    unsigned* m_sqArray = nullptr;
    unsigned* m_cqHead = nullptr;
    unsigned* m_cqTail = nullptr;
    unsigned m_cqMask = 0;
    void* m_cqes = nullptr;
};

} // namespace platform::linux_io
