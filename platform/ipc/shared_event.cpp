#include "platform/ipc/shared_event.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/ipc/shared_word.h"

namespace platform {
namespace {

long Futex(std::int32_t* word, int operation, std::int32_t value, const struct timespec* deadline)
{
    return ::syscall(SYS_futex, word, operation, value, deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
}

}  // namespace

SharedEvent::SharedEvent(std::string_view name, bool manualReset, bool initiallySignalled) : manualReset_(manualReset)
{
    region_.emplace(name, sizeof(std::int32_t));
    view_ = region_->Map(0, sizeof(std::int32_t), true);
    word_ = static_cast<std::int32_t*>(view_.Data());
    existed_ = region_->AlreadyExisted();
    // Only the creator's initial state counts, as for any named event.
    if (!existed_ && initiallySignalled)
        SharedWord(*word_).Store(1, std::memory_order_release);
}

SharedEvent::SharedEvent(bool manualReset, bool initiallySignalled)
    : local_(std::make_unique<std::int32_t>(initiallySignalled ? 1 : 0)), manualReset_(manualReset)
{
    word_ = local_.get();
}

void SharedEvent::Set() noexcept
{
    SharedWord(*word_).Store(1, std::memory_order_release);
    // The word may be shared with other processes: no private futex for it.
    const int wake = local_ ? FUTEX_WAKE_PRIVATE : FUTEX_WAKE;
    Futex(word_, wake, manualReset_ ? INT_MAX : 1, nullptr);
}

void SharedEvent::Reset() noexcept
{
    SharedWord(*word_).Store(0, std::memory_order_release);
}

SharedEvent::WaitStatus SharedEvent::Wait(std::optional<std::chrono::milliseconds> timeout, int* error) noexcept
{
    struct timespec deadline {};
    if (timeout) {
        ::clock_gettime(CLOCK_MONOTONIC, &deadline);
        const auto ms = timeout->count() < 0 ? 0 : timeout->count();
        deadline.tv_sec += static_cast<time_t>(ms / 1000);
        deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
    }
    const int wait = local_ ? FUTEX_WAIT_BITSET_PRIVATE : FUTEX_WAIT_BITSET;
    const SharedWord word(*word_);
    for (;;) {
        // Any non-zero value counts as signalled, so that a word another
        // process left with nonsense cannot make this loop spin.
        const std::int32_t seen = word.Load(std::memory_order_acquire);
        if (seen != 0) {
            if (manualReset_ || word.CompareExchange(seen, 0) == seen)
                return WaitStatus::Signalled;
            continue;
        }
        if (Futex(word_, wait, 0, timeout ? &deadline : nullptr) == 0)
            continue;
        const int cause = errno;
        if (cause == EAGAIN || cause == EINTR)
            continue;
        if (cause == ETIMEDOUT)
            return WaitStatus::TimedOut;
        if (error != nullptr)
            *error = cause;
        return WaitStatus::Failed;
    }
}

}  // namespace platform
