// No copy of a key goes back to the heap unwiped: every block freed while a
// keyed Generate runs (on a file, a text, many files in lanes, and in the
// task the window runs it in) is read as it is freed, and none may hold the
// HMAC's key or BLAKE3's.
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/generate.h"
#include "core/generate_task.h"
#include "tests/test_files.h"

namespace watch {
std::atomic<bool> on{false};
std::atomic<int> found{0};
// The keys looked for, outside the heap.
char hmacKey[41];
char blake3Key[33];

void Look(void* p) noexcept
{
    if (p == nullptr || !on.load())
        return;
    const std::size_t size = ::malloc_usable_size(p);
    for (const char* key : {hmacKey, blake3Key}) {
        const std::size_t length = std::strlen(key);
        if (::memmem(p, size, key, length) != nullptr)
            found.fetch_add(1);
    }
}
}  // namespace watch

void* operator new(std::size_t size)
{
    if (void* p = std::malloc(size > 0 ? size : 1))
        return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept
{
    watch::Look(p);
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    watch::Look(p);
    std::free(p);
}

namespace {

class KeyWipe : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        std::strcpy(watch::hmacKey, "the HMAC key, long enough for the heap!!");
        std::strcpy(watch::blake3Key, "thirty-two bytes of BLAKE3's key");
        watch::found = 0;
    }

    // A request with both keys, built outside the watch.
    static GenerateInput Keyed()
    {
        GenerateInput input;
        input.hmac = true;
        input.key = watch::hmacKey;
        input.blake3Key = watch::blake3Key;
        input.algorithms = {Algorithm::Md5, Algorithm::Sha256, Algorithm::Blake2b, Algorithm::Blake3};
        return input;
    }

    template <class Body>
    int FreedWithAKey(Body&& body)
    {
        watch::found = 0;
        watch::on = true;
        body();
        watch::on = false;
        return watch::found.load();
    }
};

TEST_F(KeyWipe, NoFreedBlockHoldsAKey)
{
    const std::string small = MakeFile("small", "abc");
    std::string large(3 << 20, 'x');
    const std::string big = MakeFile("big", large);
    const auto sink = [](Algorithm, const std::string&) {};

    EXPECT_EQ(FreedWithAKey([&] {
                  GenerateInput input = Keyed();
                  input.source = GenerateSource::File;
                  for (const std::string& name : {small, big}) {
                      input.fileName = name;
                      Generate(input, sink);
                  }
              }),
              0)
        << "a file";
    EXPECT_EQ(FreedWithAKey([&] {
                  GenerateInput input = Keyed();
                  input.source = GenerateSource::Text;
                  input.text = large;
                  Generate(input, sink);
              }),
              0)
        << "a text";
    EXPECT_EQ(FreedWithAKey([&] {
                  GenerateInput input = Keyed();
                  input.source = GenerateSource::File;
                  input.fileName = big;
                  GenerateTask task(input);
                  ASSERT_TRUE(task.WaitFor(std::chrono::seconds(60)));
                  task.TakeResults();
              }),
              0)
        << "the window's task";
    EXPECT_EQ(FreedWithAKey([&] {
                  const GenerateInput input = Keyed();
                  GenerateInLanes lanes(input);
                  std::vector<GenerateInLanes::Ended> ended;
                  std::size_t left = 0;
                  for (const std::string& name : {small, big, small}) {
                      lanes.Begin(left++, name, input, true);
                  }
                  while (left > 0) {
                      lanes.Advance(ended);
                      left -= ended.size();
                  }
              }),
              0)
        << "many files in lanes";
}

}  // namespace
