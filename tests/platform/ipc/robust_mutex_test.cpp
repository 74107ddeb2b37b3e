// The robust mutex under the cross-process lock: a dead owner's mutex is
// sound again only once its taker says so, and the C library's mutexes are
// proved to be laid out as the checks read them.

#include "platform/ipc/robust_mutex.h"

#include <gtest/gtest.h>

#include <time.h>

#include <thread>

namespace {

using platform::RobustMutex;
using Status = RobustMutex::Status;

// A thread that takes the mutex and ends holding it.
void DieHolding(const RobustMutex& mutex)
{
    std::thread([&] { EXPECT_EQ(mutex.TryLock(), Status::Acquired); }).join();
}

TEST(RobustMutexTest, ADeadOwnersMutexIsSoundAgainOnlyOnceMarkedConsistent)
{
    for (const bool shared : {false, true}) {
        SCOPED_TRACE(shared ? "process-shared" : "private");
        pthread_mutex_t memory;
        ASSERT_EQ(RobustMutex::Initialize(memory, shared), 0);
        const RobustMutex mutex(memory, shared);

        DieHolding(mutex);
        ASSERT_EQ(mutex.TryLock(), Status::OwnerDied);
        mutex.MarkConsistent();
        EXPECT_TRUE(mutex.Unlock());
        ASSERT_EQ(mutex.TryLock(), Status::Acquired) << "marked consistent, yet not sound";
        EXPECT_TRUE(mutex.Unlock());

        // Let go without the mark: nobody can take it again, and it says so.
        DieHolding(mutex);
        ASSERT_EQ(mutex.TryLock(), Status::OwnerDied);
        mutex.Unlock();
        EXPECT_EQ(mutex.TryLock(), Status::Damaged) << "repaired behind the taker's back";
        struct timespec deadline {};
        ::clock_gettime(CLOCK_MONOTONIC, &deadline);
        EXPECT_EQ(mutex.LockUntil(deadline), Status::Damaged);
    }
}

// The checks read the C library's mutex where its interface tells nothing.
// The layout they read is proved on a real mutex; should the library lay its
// mutexes out otherwise, the proof fails, and with it every mutex here.
TEST(RobustMutexTest, TheLayoutTheChecksReadIsProvedOnARealMutex)
{
    EXPECT_TRUE(RobustMutex::LayoutHolds()) << "this C library's mutexes are not laid out as the checks read them";
    const RobustMutex::Layout built = RobustMutex::BuiltLayout();
#if defined(__GLIBC__)
    ASSERT_TRUE(RobustMutex::ProbeLayout(built));
    // Any field read one word off is noticed.
    std::size_t RobustMutex::Layout::*const fields[] = {&RobustMutex::Layout::lock, &RobustMutex::Layout::owner,
                                                        &RobustMutex::Layout::kind, &RobustMutex::Layout::next,
                                                        &RobustMutex::Layout::prev};
    for (std::size_t RobustMutex::Layout::*field : fields)
        for (const std::size_t shift : {sizeof(int), sizeof(void*), 2 * sizeof(void*)}) {
            RobustMutex::Layout moved = built;
            moved.*field += shift;
            EXPECT_FALSE(RobustMutex::ProbeLayout(moved)) << "offset " << built.*field << " moved by " << shift;
            if (built.*field >= shift) {
                moved.*field = built.*field - shift;
                EXPECT_FALSE(RobustMutex::ProbeLayout(moved)) << "offset " << built.*field << " moved by -" << shift;
            }
        }
    // Swapped fields are noticed too.
    RobustMutex::Layout swapped = built;
    std::swap(swapped.next, swapped.prev);
    EXPECT_FALSE(RobustMutex::ProbeLayout(swapped));
    swapped = built;
    std::swap(swapped.lock, swapped.owner);
    EXPECT_FALSE(RobustMutex::ProbeLayout(swapped));
#endif
}

}  // namespace
