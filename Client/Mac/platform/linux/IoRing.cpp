#include "IoRing.h"

#include <linux/io_uring.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform::linux_io {

struct IoRing::Sqe : io_uring_sqe {};

namespace {

int setup(unsigned entries, io_uring_params* params)
{
    return int(::syscall(SYS_io_uring_setup, entries, params));
}

int enter(int fd, unsigned toSubmit, unsigned minComplete)
{
    return int(::syscall(SYS_io_uring_enter, fd, toSubmit, minComplete, IORING_ENTER_GETEVENTS, nullptr, 0));
}

template <typename T>
T* at(void* base, uint32_t offset)
{
    return reinterpret_cast<T*>(static_cast<char*>(base) + offset);
}

unsigned loadAcquire(const unsigned* value)
{
    return __atomic_load_n(value, __ATOMIC_ACQUIRE);
}

void storeRelease(unsigned* target, unsigned value)
{
    __atomic_store_n(target, value, __ATOMIC_RELEASE);
}

} // namespace

IoRing::IoRing(unsigned entries)
{
    io_uring_params params{};
    // Completions are collected only when this thread asks for them: no
    // interrupting work while it is busy elsewhere.
    params.flags = IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN;
    int fd = setup(entries, &params);
    if (fd < 0 && errno == EINVAL) {
        params = {};
        fd = setup(entries, &params);
    }
    if (fd < 0)
        return;
    // Kernels old enough to map the two rings apart are not worked around.
    if (!(params.features & IORING_FEAT_SINGLE_MMAP) || params.cq_entries < params.sq_entries) {
        ::close(fd);
        return;
    }
    const size_t sqSize = params.sq_off.array + params.sq_entries * sizeof(unsigned);
    const size_t cqSize = params.cq_off.cqes + params.cq_entries * sizeof(io_uring_cqe);
    m_ringsSize = std::max(sqSize, cqSize);
    void* rings = ::mmap(nullptr, m_ringsSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, IORING_OFF_SQ_RING);
    if (rings == MAP_FAILED) {
        ::close(fd);
        return;
    }
    m_sqesSize = params.sq_entries * sizeof(io_uring_sqe);
    void* sqes = ::mmap(nullptr, m_sqesSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, IORING_OFF_SQES);
    if (sqes == MAP_FAILED) {
        ::munmap(rings, m_ringsSize);
        ::close(fd);
        return;
    }
    m_fd = fd;
    m_rings = rings;
    m_sqes = sqes;
    m_entries = params.sq_entries;
    m_sqHead = at<unsigned>(rings, params.sq_off.head);
    m_sqTail = at<unsigned>(rings, params.sq_off.tail);
    m_sqMask = *at<unsigned>(rings, params.sq_off.ring_mask);
    m_sqArray = at<unsigned>(rings, params.sq_off.array);
    m_cqHead = at<unsigned>(rings, params.cq_off.head);
    m_cqTail = at<unsigned>(rings, params.cq_off.tail);
    m_cqMask = *at<unsigned>(rings, params.cq_off.ring_mask);
    m_cqes = at<io_uring_cqe>(rings, params.cq_off.cqes);
}

IoRing::~IoRing()
{
    if (m_fd < 0)
        return;
    ::munmap(m_sqes, m_sqesSize);
    ::munmap(m_rings, m_ringsSize);
    ::close(m_fd);
}

IoRing::Sqe* IoRing::nextSqe()
{
    if (m_fd < 0 || m_queued >= m_entries)
        return nullptr;
    const unsigned tail = *m_sqTail;
    const unsigned index = tail & m_sqMask;
    Sqe* sqe = static_cast<Sqe*>(m_sqes) + index;
    std::memset(static_cast<io_uring_sqe*>(sqe), 0, sizeof(io_uring_sqe));
    m_sqArray[index] = index;
    ++m_queued;
    return sqe;
}

bool IoRing::queueOpen(const char* path, int flags, uint64_t tag)
{
    Sqe* sqe = nextSqe();
    if (!sqe)
        return false;
    sqe->opcode = IORING_OP_OPENAT;
    sqe->fd = AT_FDCWD;
    sqe->addr = reinterpret_cast<uint64_t>(path);
    sqe->open_flags = uint32_t(flags);
    sqe->user_data = tag;
    storeRelease(m_sqTail, *m_sqTail + 1);
    return true;
}

bool IoRing::queueRead(int fd, void* buffer, unsigned length, uint64_t offset, uint64_t tag)
{
    Sqe* sqe = nextSqe();
    if (!sqe)
        return false;
    sqe->opcode = IORING_OP_READ;
    sqe->fd = fd;
    sqe->addr = reinterpret_cast<uint64_t>(buffer);
    sqe->len = length;
    sqe->off = offset;
    sqe->user_data = tag;
    storeRelease(m_sqTail, *m_sqTail + 1);
    return true;
}

bool IoRing::queueClose(int fd, uint64_t tag)
{
    Sqe* sqe = nextSqe();
    if (!sqe)
        return false;
    sqe->opcode = IORING_OP_CLOSE;
    sqe->fd = fd;
    sqe->user_data = tag;
    storeRelease(m_sqTail, *m_sqTail + 1);
    return true;
}

unsigned IoRing::reap(void* context, Callback callback)
{
    unsigned head = *m_cqHead;
    const unsigned tail = loadAcquire(m_cqTail);
    unsigned count = 0;
    for (; head != tail; ++head, ++count) {
        const io_uring_cqe& cqe = static_cast<const io_uring_cqe*>(m_cqes)[head & m_cqMask];
        callback(context, cqe.user_data, cqe.res);
    }
    storeRelease(m_cqHead, head);
    return count;
}

bool IoRing::runWith(void* context, Callback callback)
{
    unsigned toSubmit = m_queued;
    unsigned inFlight = 0;
    m_queued = 0;
    bool accepted = true;
    while (toSubmit > 0 || inFlight > 0) {
        const int submitted = enter(m_fd, toSubmit, 1);
        if (submitted < 0) {
            const int code = errno;
            if (code == EINTR)
                continue;
            if (toSubmit > 0) {
                // Whatever the kernel has not taken is dropped; what it took
                // still finishes and is waited for.
                const unsigned tail = *m_sqTail;
                for (unsigned at = loadAcquire(m_sqHead); at != tail; ++at) {
                    const io_uring_sqe& dropped = static_cast<const io_uring_sqe*>(m_sqes)[m_sqArray[at & m_sqMask]];
                    callback(context, dropped.user_data, -ECANCELED);
                }
                storeRelease(m_sqTail, loadAcquire(m_sqHead));
                toSubmit = 0;
                accepted = false;
                if (inFlight == 0)
                    break;
                continue;
            }
            // Waiting itself failed: nothing more can be collected.
            return false;
        }
        toSubmit -= unsigned(submitted);
        inFlight += unsigned(submitted);
        inFlight -= reap(context, callback);
    }
    return accepted;
}

} // namespace platform::linux_io
