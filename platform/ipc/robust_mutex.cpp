#include "platform/ipc/robust_mutex.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace platform {
namespace {

#if defined(VELLUMARK_GLIBC_MUTEX)

// The fields read here, as the C library's header lays them out. They must
// be words of the right kind, inside the mutex; the lock word is the futex
// word the kernel knows, first in the mutex. On x86-64 the offsets are fixed
// by the library's binary interface: any change there fails the build.
static_assert(std::is_same_v<decltype(pthread_mutex_t::__data.__lock), int> &&
              std::is_same_v<decltype(pthread_mutex_t::__data.__owner), int> &&
              std::is_same_v<decltype(pthread_mutex_t::__data.__kind), int> &&
              std::is_same_v<decltype(pthread_mutex_t::__data.__list.__next), __pthread_list_t*> &&
              std::is_same_v<decltype(pthread_mutex_t::__data.__list.__prev), __pthread_list_t*>);
static_assert(offsetof(pthread_mutex_t, __data.__lock) == 0 &&
              offsetof(pthread_mutex_t, __data.__list.__next) + sizeof(void*) <= sizeof(pthread_mutex_t) &&
              offsetof(pthread_mutex_t, __data.__list.__prev) + sizeof(void*) <= sizeof(pthread_mutex_t));
#if defined(__x86_64__)
static_assert(sizeof(pthread_mutex_t) == 40 && offsetof(pthread_mutex_t, __data.__owner) == 8 &&
                  offsetof(pthread_mutex_t, __data.__kind) == 16 &&
                  offsetof(pthread_mutex_t, __data.__list.__prev) == 24 &&
                  offsetof(pthread_mutex_t, __data.__list.__next) == 32,
              "the C library's mutex is not laid out as this program reads it");
#endif

constexpr RobustMutex::Layout kBuiltLayout = {
    offsetof(pthread_mutex_t, __data.__lock),        offsetof(pthread_mutex_t, __data.__owner),
    offsetof(pthread_mutex_t, __data.__kind),        offsetof(pthread_mutex_t, __data.__list.__next),
    offsetof(pthread_mutex_t, __data.__list.__prev),
};

// Announced mutex memory; an entry is live while its end is set.
constexpr int kMaxMemories = 256;
struct MemoryRange {
    std::atomic<std::uintptr_t> begin{0};
    std::atomic<std::uintptr_t> end{0};
};
MemoryRange g_memories[kMaxMemories];
std::atomic<int> g_memoriesUsed{0};

using robust_detail::ListHead;

// pthread takes a link as the address of a list entry's second word and
// writes the entry's two words: both must lie in our mutex memory, or the
// link must be the list head.
bool SoundLink(const void* link) noexcept
{
    const auto at = reinterpret_cast<std::uintptr_t>(link);
    if (at == ListHead() && at != 0)
        return true;
    constexpr std::uintptr_t kBefore = offsetof(__pthread_list_t, __next);
    if (at < kBefore || at > UINTPTR_MAX - sizeof(void*))
        return false;
    const int used = g_memoriesUsed.load(std::memory_order_acquire);
    for (int i = 0; i < used; ++i) {
        const std::uintptr_t end = g_memories[i].end.load(std::memory_order_acquire);
        const std::uintptr_t begin = g_memories[i].begin.load(std::memory_order_acquire);
        if (end != 0 && at - kBefore >= begin && at + sizeof(void*) <= end)
            return true;
    }
    return false;
}
#endif

struct Attributes {
    explicit Attributes(bool processShared) noexcept
    {
        error = ::pthread_mutexattr_init(&attributes);
        if (error == 0)
            error = ::pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
        if (error == 0)
            error = ::pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
        if (error == 0)
            error = ::pthread_mutexattr_setpshared(&attributes,
                                                   processShared ? PTHREAD_PROCESS_SHARED : PTHREAD_PROCESS_PRIVATE);
    }
    ~Attributes() { ::pthread_mutexattr_destroy(&attributes); }
    Attributes(const Attributes&) = delete;
    Attributes& operator=(const Attributes&) = delete;

    pthread_mutexattr_t attributes;
    int error = 0;
};

// What a sound mutex of our kind has in its type field, learnt from a
// mutex set up here; -1 (never sound) when the layout does not hold.
int ExpectedKind(bool processShared) noexcept
{
#if defined(VELLUMARK_GLIBC_MUTEX)
    static const int kinds[2] = {[] {
                                     pthread_mutex_t probe{};
                                     return RobustMutex::LayoutHolds() && RobustMutex::Initialize(probe, false) == 0
                                                ? probe.__data.__kind
                                                : -1;
                                 }(),
                                 [] {
                                     pthread_mutex_t probe{};
                                     return RobustMutex::LayoutHolds() && RobustMutex::Initialize(probe, true) == 0
                                                ? probe.__data.__kind
                                                : -1;
                                 }()};
    return kinds[processShared ? 1 : 0];
#else
    (void)processShared;
    return 0;
#endif
}

#if defined(VELLUMARK_GLIBC_MUTEX)
template <class T>
T FieldAt(const pthread_mutex_t& mutex, std::size_t offset) noexcept
{
    T value;
    std::memcpy(&value, reinterpret_cast<const char*>(&mutex) + offset, sizeof value);
    return value;
}

bool Inside(std::size_t offset, std::size_t size) noexcept
{
    return offset % size == 0 && offset <= sizeof(pthread_mutex_t) - size;
}
#endif

}  // namespace

std::uintptr_t robust_detail::RegisteredListHead() noexcept
{
    void* registered = nullptr;
    std::size_t length = 0;
    return ::syscall(SYS_get_robust_list, 0, &registered, &length) == 0 ? reinterpret_cast<std::uintptr_t>(registered)
                                                                        : std::uintptr_t{0};
}

int RobustMutex::Initialize(pthread_mutex_t& mutex, bool processShared) noexcept
{
    const Attributes attributes(processShared);
    if (attributes.error != 0)
        return attributes.error;
    return ::pthread_mutex_init(&mutex, &attributes.attributes);
}

const RobustMutex::Layout& RobustMutex::BuiltLayout() noexcept
{
#if defined(VELLUMARK_GLIBC_MUTEX)
    return kBuiltLayout;
#else
    static constexpr Layout kNone{};
    return kNone;
#endif
}

bool RobustMutex::LayoutHolds() noexcept
{
#if defined(VELLUMARK_GLIBC_MUTEX)
    static const bool holds = ProbeLayout(kBuiltLayout);
    return holds;
#else
    return true;  // nothing of the library's mutex is read
#endif
}

bool RobustMutex::ProbeLayout(const Layout& layout) noexcept
{
#if defined(VELLUMARK_GLIBC_MUTEX)
    const struct {
        std::size_t offset, size;
    } fields[] = {{layout.lock, sizeof(int)},
                  {layout.owner, sizeof(int)},
                  {layout.kind, sizeof(int)},
                  {layout.next, sizeof(void*)},
                  {layout.prev, sizeof(void*)}};
    for (const auto& field : fields) {
        if (!Inside(field.offset, field.size))
            return false;
        for (const auto& other : fields)
            if (&other != &field && field.offset < other.offset + other.size &&
                other.offset < field.offset + field.size)
                return false;
    }
    const auto* head = reinterpret_cast<const struct robust_list_head*>(ListHead());
    if (head == nullptr)
        return false;
    // Another robust mutex held first, so that the list is not empty and
    // each link has its own value.
    pthread_mutex_t anchor{};
    if (Initialize(anchor, false) != 0 || ::pthread_mutex_lock(&anchor) != 0)
        return false;
    struct Unlocker {
        pthread_mutex_t& mutex;
        ~Unlocker() { ::pthread_mutex_unlock(&mutex); }
    } const unlockAnchor{anchor};
    pthread_mutex_t plain = PTHREAD_MUTEX_INITIALIZER;
    pthread_mutex_t probe{};
    if (Initialize(probe, true) != 0)
        return false;
    const int kind = FieldAt<int>(probe, layout.kind);
    const int tid = static_cast<int>(::syscall(SYS_gettid));
    const auto* const linkAt = reinterpret_cast<const char*>(&probe) + layout.next;
    const std::uintptr_t firstBefore = reinterpret_cast<std::uintptr_t>(head->list.next);
    bool holds = firstBefore != reinterpret_cast<std::uintptr_t>(head) && kind != FieldAt<int>(plain, layout.kind) &&
                 FieldAt<int>(probe, layout.lock) == 0 && FieldAt<int>(probe, layout.owner) == 0 &&
                 head->futex_offset == static_cast<long>(layout.lock) - static_cast<long>(layout.next);
    if (::pthread_mutex_lock(&probe) != 0)
        return false;
    holds = holds && (FieldAt<int>(probe, layout.lock) & FUTEX_TID_MASK) == tid &&
            FieldAt<int>(probe, layout.owner) == tid && FieldAt<int>(probe, layout.kind) == kind &&
            FieldAt<std::uintptr_t>(probe, layout.prev) == reinterpret_cast<std::uintptr_t>(head) &&
            FieldAt<std::uintptr_t>(probe, layout.next) == firstBefore &&
            (reinterpret_cast<std::uintptr_t>(head->list.next) & ~std::uintptr_t{1}) ==
                reinterpret_cast<std::uintptr_t>(linkAt);
    ::pthread_mutex_unlock(&probe);
    holds = holds && FieldAt<int>(probe, layout.lock) == 0 && FieldAt<int>(probe, layout.owner) == 0 &&
            reinterpret_cast<std::uintptr_t>(head->list.next) == firstBefore;
    ::pthread_mutex_destroy(&probe);
    return holds;
#else
    (void)layout;
    return true;
#endif
}

bool RobustMutex::AddMemory(const void* begin, std::size_t size) noexcept
{
#if defined(VELLUMARK_GLIBC_MUTEX)
    const auto first = reinterpret_cast<std::uintptr_t>(begin);
    for (int i = 0; i < kMaxMemories; ++i) {
        std::uintptr_t empty = 0;
        if (!g_memories[i].begin.compare_exchange_strong(empty, first))
            continue;
        g_memories[i].end.store(first + size, std::memory_order_release);
        int used = g_memoriesUsed.load();
        while (used < i + 1 && !g_memoriesUsed.compare_exchange_weak(used, i + 1)) {
        }
        return true;
    }
    return false;
#else
    (void)begin;
    (void)size;
    return true;
#endif
}

void RobustMutex::RemoveMemory(const void* begin) noexcept
{
#if defined(VELLUMARK_GLIBC_MUTEX)
    const auto first = reinterpret_cast<std::uintptr_t>(begin);
    for (auto& memory : g_memories)
        if (memory.begin.load() == first && memory.end.load() != 0) {
            memory.end.store(0);
            memory.begin.store(0);
            return;
        }
#else
    (void)begin;
#endif
}

RobustMutex::RobustMutex(pthread_mutex_t& mutex, bool processShared) noexcept
    : mutex_(&mutex), kind_(ExpectedKind(processShared))
{}

RobustMutex::Status RobustMutex::LockUntil(const struct timespec& deadline) const noexcept
{
    if (!SoundKind())
        return Status::Damaged;
    return Taken(::pthread_mutex_clocklock(mutex_, CLOCK_MONOTONIC, &deadline));
}

void RobustMutex::MarkConsistent() const noexcept
{
    // The one repair of a dead owner's mark: without it, letting go makes
    // the mutex unrecoverable. It fails only for a mutex that was not
    // inconsistent; either way the caller holds it.
    ::pthread_mutex_consistent(mutex_);
}

bool RobustMutex::UnlockChecked() const noexcept
{
#if defined(VELLUMARK_GLIBC_MUTEX)
    if (kind_ == -1)
        return false;  // never taken here: the layout does not hold
    // Another type written while it was held would send pthread down paths
    // that this memory was never set up for (and leave it linked).
    const std::atomic_ref<int> kind(mutex_->__data.__kind);
    if (kind.load(std::memory_order_relaxed) != kind_)
        kind.store(kind_, std::memory_order_relaxed);
    using Link = __pthread_list_t*;
    if (!SoundLink(std::atomic_ref<Link>(mutex_->__data.__list.__next).load(std::memory_order_relaxed)) ||
        !SoundLink(std::atomic_ref<Link>(mutex_->__data.__list.__prev).load(std::memory_order_relaxed)))
        return false;
#endif
    return ::pthread_mutex_unlock(mutex_) == 0;
}

}  // namespace platform
