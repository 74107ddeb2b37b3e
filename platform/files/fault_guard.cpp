#include "platform/files/fault_guard.h"

#include <signal.h>
#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/base/exception.h"

namespace platform {
namespace {

// What a guard shares with the handler: lock-free atomics only, since the
// handler may run on any thread at any instruction.
struct Slot {
    std::atomic<std::uintptr_t> begin{0};
    std::atomic<std::uintptr_t> length{0};
    std::atomic<bool> faulted{false};
};
static_assert(std::atomic<std::uintptr_t>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

constexpr int kSlots = 8;
Slot g_slots[kSlots];
std::atomic<bool> g_slotTaken[kSlots];
struct sigaction g_previous {};
std::once_flag g_installed;
bool g_installOk = false;

void OnBusError(int signal, siginfo_t* info, void* context)
{
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (Slot& slot : g_slots) {
        const std::uintptr_t begin = slot.begin.load(std::memory_order_acquire);
        const std::uintptr_t length = slot.length.load(std::memory_order_acquire);
        if (length == 0 || address < begin || address - begin >= length)
            continue;
        // mmap is a plain system call: safe here in practice, if not listed.
        ::mmap(reinterpret_cast<void*>(begin), length, PROT_READ, MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        slot.faulted.store(true, std::memory_order_release);
        return;  // the faulting access runs again and reads a zero
    }
    // Not ours: whatever was there before takes it.
    if (g_previous.sa_flags & SA_SIGINFO) {
        if (g_previous.sa_sigaction != nullptr) {
            g_previous.sa_sigaction(signal, info, context);
            return;
        }
    } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
        g_previous.sa_handler(signal);
        return;
    }
    ::sigaction(SIGBUS, &g_previous, nullptr);  // the access faults again, now to the old action
}

void Install()
{
    struct sigaction action {};
    action.sa_sigaction = OnBusError;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    g_installOk = ::sigaction(SIGBUS, &action, &g_previous) == 0;
}

}  // namespace

MappingFaultGuard::MappingFaultGuard(void* begin, std::size_t length) : slot_(-1)
{
    std::call_once(g_installed, Install);
    if (!g_installOk)
        throw Exception("Cannot guard a mapped file");
    for (int i = 0; i < kSlots; ++i) {
        if (!g_slotTaken[i].exchange(true)) {
            slot_ = i;
            break;
        }
    }
    if (slot_ < 0)
        throw Exception("Cannot guard a mapped file");
    Slot& slot = g_slots[slot_];
    slot.faulted.store(false);
    slot.begin.store(reinterpret_cast<std::uintptr_t>(begin), std::memory_order_release);
    slot.length.store(length, std::memory_order_release);
}

MappingFaultGuard::~MappingFaultGuard()
{
    Slot& slot = g_slots[slot_];
    slot.length.store(0, std::memory_order_release);
    slot.begin.store(0, std::memory_order_release);
    g_slotTaken[slot_].store(false);
}

bool MappingFaultGuard::Faulted() const noexcept
{
    return g_slots[slot_].faulted.load(std::memory_order_acquire);
}

}  // namespace platform
