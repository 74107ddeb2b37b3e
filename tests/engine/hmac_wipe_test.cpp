// After an HMAC returns, neither its key nor anything computed from its key
// block is left in the memory the computation used: not in the engine's own
// buffers, not in the frames of the block functions below it. Each
// computation runs on a thread whose stack is a zeroed buffer of the test's
// own, so everything it left behind can be read afterwards.
#include <alloca.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <ostream>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/blake2.h"
#include "engine/blake3.h"
#include "engine/digest.h"
#include "engine/digest_paths.h"
#include "engine/lane_digests.h"
#include "engine/path_choice.h"
#include "engine/sha3.h"
#include "engine/window_digests.h"
#include "tests/digest_results.h"
#include "tests/engine/lane_setting.h"

// The heap blocks handed out while a test records, so that it can read what
// an object keeps there while the object lives, and, while it keeps, what
// the object left there when the block was freed. Every allocation of the
// program comes here; the array forms forward to these. Not inlined, so
// that the compiler does not pair the callers' new with this free.
namespace heap {
struct Block {
    const std::uint8_t* address;
    std::size_t size;
};
std::atomic<bool> recording{false};
Block blocks[64];
std::atomic<std::size_t> recorded{0};

void* Record(void* p, std::size_t size)
{
    if (p == nullptr)
        throw std::bad_alloc();
    if (recording.load()) {
        const std::size_t i = recorded.fetch_add(1);
        if (i < std::size(blocks))
            blocks[i] = {static_cast<const std::uint8_t*>(p), size};
    }
    return p;
}

// Each recorded block's bytes as they were when it was freed while keeping.
std::atomic<bool> keeping{false};
constexpr std::size_t kKeptSize = 4096;
std::uint8_t kept[std::size(blocks)][kKeptSize];
std::size_t keptSize[std::size(blocks)];

void Release(void* p) noexcept
{
    if (p != nullptr && keeping.load()) {
        const std::size_t count = std::min(recorded.load(), std::size(blocks));
        for (std::size_t i = 0; i < count; ++i) {
            if (blocks[i].address == p) {
                keptSize[i] = std::min(blocks[i].size, kKeptSize);
                std::memcpy(kept[i], p, keptSize[i]);
            }
        }
    }
    std::free(p);
}
}  // namespace heap

[[gnu::noinline]] void* operator new(std::size_t size)
{
    return heap::Record(std::malloc(size > 0 ? size : 1), size);
}
[[gnu::noinline]] void* operator new(std::size_t size, std::align_val_t alignment)
{
    void* p = nullptr;
    const std::size_t a = std::max(static_cast<std::size_t>(alignment), sizeof(void*));
    return heap::Record(posix_memalign(&p, a, size > 0 ? size : 1) == 0 ? p : nullptr, size);
}
[[gnu::noinline]] void operator delete(void* p) noexcept
{
    heap::Release(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept
{
    heap::Release(p);
}
[[gnu::noinline]] void operator delete(void* p, std::align_val_t) noexcept
{
    heap::Release(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t, std::align_val_t) noexcept
{
    heap::Release(p);
}

namespace {

using namespace engine;

// A thread stack the test owns: zeroed, run on to the end, then read.
class OwnStack {
public:
    static constexpr std::size_t kSize = std::size_t{1} << 20;  // the sanitizers' frames are large

    OwnStack() : memory_(static_cast<std::uint8_t*>(::operator new(kSize, kAlignment))) {}
    ~OwnStack() { ::operator delete(memory_, kAlignment); }
    OwnStack(const OwnStack&) = delete;
    OwnStack& operator=(const OwnStack&) = delete;

    void Run(const std::function<void()>& body)
    {
        std::memset(memory_, 0, kSize);
        pthread_attr_t attributes;
        ASSERT_EQ(pthread_attr_init(&attributes), 0);
        ASSERT_EQ(pthread_attr_setstack(&attributes, memory_, kSize), 0);
        pthread_t thread;
        const int created = pthread_create(&thread, &attributes, Start, const_cast<std::function<void()>*>(&body));
        pthread_attr_destroy(&attributes);
        ASSERT_EQ(created, 0);
        ASSERT_EQ(pthread_join(thread, nullptr), 0);
    }

    const std::uint8_t* data() const { return memory_; }

    // Whether a body's locals live here: a sanitizer that keeps them on a
    // stack of its own (use-after-return detection) leaves nothing to read.
    bool HoldsLocals()
    {
        std::uintptr_t where = 0;
        Run([&] {
            volatile char local = 0;
            where = reinterpret_cast<std::uintptr_t>(&local);
        });
        const auto begin = reinterpret_cast<std::uintptr_t>(memory_);
        return where >= begin && where < begin + kSize;
    }

private:
    static constexpr std::align_val_t kAlignment{4096};
    static constexpr std::size_t kGap = std::size_t{256} << 10;

    // The body runs well below where the thread's start and exit code work
    // (the sanitizers' exit code reaches deep), so nothing of theirs
    // overwrites what it left behind.
    static void* Start(void* body)
    {
        auto* gap = static_cast<volatile char*>(alloca(kGap));
        gap[0] = 0;
        (*static_cast<const std::function<void()>*>(body))();
        gap[kGap - 1] = 0;
        return nullptr;
    }

    std::uint8_t* memory_;
};

// Every vector register as XSAVE stores them: the XMM registers, and the
// wide halves and the AVX-512 registers where the OS enables them. Parts
// in their initial state are not written and stay zero.
struct VectorRegisters {
    static constexpr std::size_t kSize = 16384;  // more than any XSAVE area so far
    alignas(64) std::uint8_t area[kSize];

#if defined(__x86_64__)
    static bool CanSave()
    {
        unsigned a, b, c, d;
        __asm__("cpuid" : "=a"(a), "=b"(b), "=c"(c), "=d"(d) : "a"(1), "c"(0));
        return c & (1u << 27);  // OSXSAVE
    }
    [[gnu::noinline]] void Save()
    {
        std::memset(area, 0, sizeof area);
        __asm__ __volatile__("xsave (%0)" : : "r"(area), "a"(0xFFFFFFFFu), "d"(0xFFFFFFFFu) : "memory");
    }
#else
    static bool CanSave()
    {
        return false;
    }
    void Save() {}
#endif
};

// What must not be found, by what it is: runs of eight bytes as they sit in
// a buffer, 32-bit words as a block function holds them, and SHA-512's
// 64-bit words, found wherever they start.
class Secrets {
public:
    void AddBytes(const std::string& name, const std::uint8_t* bytes, std::size_t count)
    {
        for (std::size_t i = 0; i + 8 <= count; ++i) {
            std::uint64_t v;
            std::memcpy(&v, bytes + i, sizeof v);
            runs_.emplace(v, name + " bytes " + std::to_string(i) + "..");
        }
    }
    void AddWord(const std::string& name, std::uint32_t word)
    {
        // The pads' fill, where the key had no bytes, is no secret.
        if (word != 0 && word != 0x36363636u && word != 0x5C5C5C5Cu)
            words_.emplace(word, name);
    }
    void AddWord64(const std::string& name, std::uint64_t word)
    {
        if (word != 0 && word != 0x3636363636363636u && word != 0x5C5C5C5C5C5C5C5Cu)
            runs_.emplace(word, name);
    }

    // Where in `memory` anything of these turns up.
    std::vector<std::string> FindIn(const std::uint8_t* memory, std::size_t size) const
    {
        std::vector<std::string> found;
        for (std::size_t i = 0; i + 8 <= size; ++i) {
            std::uint64_t v;
            std::memcpy(&v, memory + i, sizeof v);
            if (v == 0)
                continue;
            if (const auto it = runs_.find(v); it != runs_.end())
                found.push_back(it->second + " at " + std::to_string(i));
            if (i % 4 == 0)
                if (const auto it = words_.find(static_cast<std::uint32_t>(v)); it != words_.end())
                    found.push_back(it->second + " at " + std::to_string(i));
        }
        return found;
    }

    friend Secrets Merge(Secrets a, const Secrets& b)
    {
        a.runs_.insert(b.runs_.begin(), b.runs_.end());
        a.words_.insert(b.words_.begin(), b.words_.end());
        return a;
    }

private:
    std::unordered_map<std::uint64_t, std::string> runs_;
    std::unordered_map<std::uint32_t, std::string> words_;
};

// What of `s` the first `blocks` recorded heap blocks held as they were freed
// (kept while heap::keeping), each find a failure under `what`; and at least
// one of them must have been freed, so that the scan read something.
void ExpectFreedBlocksClean(const Secrets& s, std::size_t blocks, const std::string& what)
{
    std::size_t freed = 0;
    for (std::size_t b = 0; b < blocks; ++b) {
        freed += heap::keptSize[b] > 0 ? 1 : 0;
        for (const std::string& found : s.FindIn(heap::kept[b], heap::keptSize[b]))
            ADD_FAILURE() << what << ": " << found << " in heap block " << b << " of " << heap::blocks[b].size
                          << " bytes, freed";
    }
    EXPECT_GT(freed, 0u) << what << ": none of the recorded heap blocks was freed";
}

std::uint32_t Word(const std::uint8_t* p, bool bigEndian)
{
    return bigEndian ? std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3]
                     : std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0];
}

std::uint64_t Word64(const std::uint8_t* p, bool bigEndian)
{
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v |= std::uint64_t{p[i]} << (bigEndian ? 56 - 8 * i : 8 * i);
    return v;
}

// Each hash's initial chaining words.
constexpr std::uint32_t kMd5Start[4] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476};
constexpr std::uint32_t kSha1Start[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
constexpr std::uint32_t kSha256Start[8] = {0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A,
                                           0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19};
constexpr std::uint64_t kSha512Start[8] = {0x6A09E667F3BCC908, 0xBB67AE8584CAA73B, 0x3C6EF372FE94F82B,
                                           0xA54FF53A5F1D36F1, 0x510E527FADE682D1, 0x9B05688C2B3E6C1F,
                                           0x1F83D9ABFB41BD6B, 0x5BE0CD19137E2179};

// The record's form of a hash's initial words, as the block functions take
// it: each word least significant byte first.
template <class Record, class Word, std::size_t kWords>
Record StartRecord(const Word (&start)[kWords])
{
    static_assert(sizeof(Record) == sizeof start);
    Record state;
    for (std::size_t i = 0; i < kWords; ++i)
        for (std::size_t j = 0; j < sizeof(Word); ++j)
            state.bytes[sizeof(Word) * i + j] = static_cast<std::uint8_t>(start[i] >> (8 * j));
    return state;
}

// SHA-512's eighty schedule words of a block.
void Sha512Schedule(const std::uint8_t* block, std::uint64_t (&w)[80])
{
    for (int t = 0; t < 80; ++t) {
        if (t < 16) {
            w[t] = Word64(block + 8 * t, true);
        } else {
            const std::uint64_t s0 = std::rotr(w[t - 15], 1) ^ std::rotr(w[t - 15], 8) ^ (w[t - 15] >> 7);
            const std::uint64_t s1 = std::rotr(w[t - 2], 19) ^ std::rotr(w[t - 2], 61) ^ (w[t - 2] >> 6);
            w[t] = s1 + w[t - 7] + s0 + w[t - 16];
        }
    }
}

// The key block, the key's own bytes that are in it, and the pad blocks.
template <class Record, std::size_t kBlock = kBlockSize>
struct KeyBlocks {
    std::uint8_t k0[kBlock] = {}, inner[kBlock], outer[kBlock];
    std::size_t keyBytes;  // the bytes of k0 that came from the key

    KeyBlocks(const std::string& key, void (*hash)(const std::string&, Record&))
    {
        if (key.size() > kBlock) {
            Record hashed;
            hash(key, hashed);
            std::memcpy(k0, hashed.bytes, sizeof hashed.bytes);
            keyBytes = sizeof hashed.bytes;
        } else {
            std::memcpy(k0, key.data(), key.size());
            keyBytes = key.size();
        }
        for (std::size_t i = 0; i < kBlock; ++i) {
            inner[i] = static_cast<std::uint8_t>(k0[i] ^ 0x36);
            outer[i] = static_cast<std::uint8_t>(k0[i] ^ 0x5C);
        }
    }
};

// Common to every hash: the key, its hash, and the pad blocks' bytes.
template <class Record, std::size_t kBlock>
void AddKeyBytes(Secrets& s, const std::string& key, const KeyBlocks<Record, kBlock>& k)
{
    s.AddBytes("key", reinterpret_cast<const std::uint8_t*>(key.data()), key.size());
    s.AddBytes("key block", k.k0, k.keyBytes);
    s.AddBytes("inner pad", k.inner, k.keyBytes);
    s.AddBytes("outer pad", k.outer, k.keyBytes);
}

Secrets Md5Secrets(const std::string& key)
{
    const KeyBlocks<Md5Digest> k(key, Md5OfText);
    Secrets s;
    AddKeyBytes(s, key, k);
    // The message words of the pad blocks, and the chaining values after
    // them, which stand for the key as well as the key itself does.
    for (const auto* pad : {k.inner, k.outer}) {
        const std::string name = pad == k.inner ? "inner" : "outer";
        for (int i = 0; i < 16; ++i)
            s.AddWord(name + " pad word " + std::to_string(i), Word(pad + 4 * i, false));
        Md5Digest state = StartRecord<Md5Digest>(kMd5Start);
        Md5Compress(state, pad, 1);
        for (int i = 0; i < 4; ++i)
            s.AddWord(name + " chaining word " + std::to_string(i), Word(state.bytes + 4 * i, false));
    }
    return s;
}

Secrets Sha1Secrets(const std::string& key)
{
    const KeyBlocks<Sha1Digest> k(key, Sha1OfText);
    Secrets s;
    AddKeyBytes(s, key, k);
    for (const auto* pad : {k.inner, k.outer}) {
        const std::string name = pad == k.inner ? "inner" : "outer";
        // All 80 schedule words: any sixteen in a row give back the block.
        std::uint32_t w[80];
        for (int t = 0; t < 80; ++t) {
            w[t] = t < 16 ? Word(pad + 4 * t, true) : std::rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
            s.AddWord(name + " schedule word " + std::to_string(t), w[t]);
        }
        Sha1Digest state = StartRecord<Sha1Digest>(kSha1Start);
        Sha1CompressPortable(state, pad, 1);
        for (int i = 0; i < 5; ++i)
            s.AddWord(name + " chaining word " + std::to_string(i), Word(state.bytes + 4 * i, false));
    }
    return s;
}

Secrets Sha256Secrets(const std::string& key)
{
    const KeyBlocks<Sha256Digest> k(key, Sha256OfText);
    Secrets s;
    AddKeyBytes(s, key, k);
    for (const auto* pad : {k.inner, k.outer}) {
        const std::string name = pad == k.inner ? "inner" : "outer";
        // All 64 schedule words, and each with its round constant added, as
        // the SHA instructions take them.
        std::uint32_t w[64];
        for (int t = 0; t < 64; ++t) {
            if (t < 16) {
                w[t] = Word(pad + 4 * t, true);
            } else {
                const std::uint32_t s0 = std::rotr(w[t - 15], 7) ^ std::rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
                const std::uint32_t s1 = std::rotr(w[t - 2], 17) ^ std::rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
                w[t] = s1 + w[t - 7] + s0 + w[t - 16];
            }
            s.AddWord(name + " schedule word " + std::to_string(t), w[t]);
            s.AddWord(name + " schedule word " + std::to_string(t) + " with its constant",
                      w[t] + kSha256RoundConstants[t]);
        }
        Sha256Digest state = StartRecord<Sha256Digest>(kSha256Start);
        Sha256CompressPortable(state, pad, 1);
        for (int i = 0; i < 8; ++i)
            s.AddWord(name + " chaining word " + std::to_string(i), Word(state.bytes + 4 * i, false));
    }
    return s;
}

Secrets Sha512Secrets(const std::string& key)
{
    const KeyBlocks<Sha512Digest, kSha512BlockSize> k(key, Sha512OfText);
    Secrets s;
    AddKeyBytes(s, key, k);
    for (const auto* pad : {k.inner, k.outer}) {
        const std::string name = pad == k.inner ? "inner" : "outer";
        // All 80 schedule words, alone and with their round constants, as
        // the vector paths store them.
        std::uint64_t w[80];
        Sha512Schedule(pad, w);
        for (int t = 0; t < 80; ++t) {
            s.AddWord64(name + " schedule word " + std::to_string(t), w[t]);
            s.AddWord64(name + " schedule word " + std::to_string(t) + " with its constant",
                        w[t] + kSha512RoundConstants[t]);
        }
        Sha512Digest state = StartRecord<Sha512Digest>(kSha512Start);
        Sha512CompressPortable(state, pad, 1);
        for (int i = 0; i < 8; ++i)
            s.AddWord64(name + " chaining word " + std::to_string(i), Word64(state.bytes + 8 * i, false));
    }
    return s;
}

std::string RandomKey(std::size_t length, std::mt19937& rng)
{
    std::string key(length, '\0');
    for (char& c : key)
        c = static_cast<char>(rng());
    return key;
}

// What the wipe tests need of each digest besides its lane object and its
// one-shot operations: what must not be found of a key, the hash of a text,
// the portable block function, the initial words and their byte order in
// the digest.
struct Md5Wipe : Md5Kind {
    static constexpr bool kBigEndian = false;
    static constexpr const auto& kStart = kMd5Start;
    static Secrets KeySecrets(const std::string& key) { return Md5Secrets(key); }
    static void Hash(const std::string& text, Digest& d) { Md5OfText(text, d); }
    static void Compress(Digest& d, const std::uint8_t* b, std::size_t n) { Md5Compress(d, b, n); }
};
struct Sha1Wipe : Sha1Kind {
    static constexpr bool kBigEndian = true;
    static constexpr const auto& kStart = kSha1Start;
    static Secrets KeySecrets(const std::string& key) { return Sha1Secrets(key); }
    static void Hash(const std::string& text, Digest& d) { Sha1OfText(text, d); }
    static void Compress(Digest& d, const std::uint8_t* b, std::size_t n) { Sha1CompressPortable(d, b, n); }
};
struct Sha256Wipe : Sha256Kind {
    static constexpr bool kBigEndian = true;
    static constexpr const auto& kStart = kSha256Start;
    static Secrets KeySecrets(const std::string& key) { return Sha256Secrets(key); }
    static void Hash(const std::string& text, Digest& d) { Sha256OfText(text, d); }
    static void Compress(Digest& d, const std::uint8_t* b, std::size_t n) { Sha256CompressPortable(d, b, n); }
};
struct Sha512Wipe : Sha512Kind {
    static constexpr bool kBigEndian = true;
    static constexpr const auto& kStart = kSha512Start;
    static Secrets KeySecrets(const std::string& key) { return Sha512Secrets(key); }
    static void Hash(const std::string& text, Digest& d) { Sha512OfText(text, d); }
    static void Compress(Digest& d, const std::uint8_t* b, std::size_t n) { Sha512CompressPortable(d, b, n); }
};

// The last block function's working words: the result less the chaining
// value after the outer pad, from which they give that value back.
template <class D>
void AddOuterWorkingWords(Secrets& s, const std::string& key, const typename D::Digest& result)
{
    const KeyBlocks<typename D::Digest, D::kBlock> k(key, D::Hash);
    typename D::Digest state = StartRecord<typename D::Digest>(D::kStart);
    D::Compress(state, k.outer, 1);
    for (std::size_t i = 0; i < std::size(D::kStart); ++i) {
        const std::string name = "outer working word " + std::to_string(i);
        if constexpr (sizeof D::kStart[0] == 8)
            s.AddWord64(name, Word64(result.bytes + 8 * i, D::kBigEndian) - Word64(state.bytes + 8 * i, false));
        else
            s.AddWord(name, Word(result.bytes + 4 * i, D::kBigEndian) - Word(state.bytes + 4 * i, false));
    }
}

// The HMAC's inner digest, the hash of the inner pad block and the message:
// its bytes, and its words as the lanes hold them (SHA-512's 64-bit).
template <class Record, std::size_t kBlock = kBlockSize>
void AddInnerDigest(Secrets& s, const std::string& key, const std::string& message,
                    void (*hash)(const std::string&, Record&), bool bigEndian)
{
    const KeyBlocks<Record, kBlock> k(key, hash);
    Record inner;
    hash(std::string(reinterpret_cast<const char*>(k.inner), kBlock) + message, inner);
    if constexpr (kBlock == kSha512BlockSize) {
        for (std::size_t i = 0; i < sizeof inner.bytes / 8; ++i)
            s.AddWord64("inner digest word " + std::to_string(i), Word64(inner.bytes + 8 * i, bigEndian));
        // The outer hash's last block carries the inner digest: any sixteen
        // of its schedule words in a row give it back, and the lanes' last
        // call leaves the last sixteen in the vector registers. Words 0 to 7
        // are the digest's own; 8 to 15, the padding, are no secret.
        std::uint8_t last[kBlock] = {};
        std::memcpy(last, inner.bytes, sizeof inner.bytes);
        last[sizeof inner.bytes] = 0x80;
        const std::uint64_t bits = 8 * (kBlock + sizeof inner.bytes);
        for (int i = 0; i < 8; ++i)
            last[kBlock - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
        std::uint64_t w[80];
        Sha512Schedule(last, w);
        for (int t = 16; t < 80; ++t) {
            s.AddWord64("outer last block schedule word " + std::to_string(t), w[t]);
            s.AddWord64("outer last block schedule word " + std::to_string(t) + " with its constant",
                        w[t] + kSha512RoundConstants[t]);
        }
    } else {
        for (std::size_t i = 0; i < sizeof inner.bytes / 4; ++i)
            s.AddWord("inner digest word " + std::to_string(i), Word(inner.bytes + 4 * i, bigEndian));
    }
    s.AddBytes("inner digest", inner.bytes, sizeof inner.bytes);
}

// The thread stack of an HMAC, and the vector registers right after it,
// hold nothing of its key: for keys used as they are, a key of exactly a
// block, and a longer key that is hashed first (whose tail goes through a
// final block of its own).
struct WipePaths {
    const char* name;
    Sha1Path sha1;
    Sha256Path sha256;
    Sha512Path sha512;
    friend std::ostream& operator<<(std::ostream& os, const WipePaths& p) { return os << p.name; }
};

class HmacWipe : public testing::TestWithParam<WipePaths> {
protected:
    void SetUp() override
    {
        if (!ForcePath(GetParam().sha1) || !ForcePath(GetParam().sha256) || !ForcePath(GetParam().sha512))
            GTEST_SKIP() << GetParam().name << ": this CPU or this build cannot run it";
    }
    void TearDown() override { UseChosenPaths(); }

    template <class D>
    void ExpectNothingLeft(const char* what)
    {
        // Keys shorter than a block, of a block and longer; messages of
        // nothing, of a block, and longer.
        constexpr std::size_t kBlock = D::kBlock;
        std::mt19937 rng(2202);
        const std::string message = RandomKey(300, rng);
        const bool canSave = VectorRegisters::CanSave();
        for (std::size_t keyLength : {std::size_t{20}, kBlock, kBlock + 36})
            for (std::int32_t messageLength : {0, static_cast<int>(kBlock), 150}) {
                const std::string key = RandomKey(keyLength, rng);
                const Secrets s = D::KeySecrets(key);
                typename D::Digest result;  // off the thread's stack, like the key and the message
                stack_.Run([&] {
                    D::Keyed(key, message.data(), messageLength, result);
                    if (canSave)
                        registers_.Save();
                });
                Secrets s2 = s;
                AddOuterWorkingWords<D>(s2, key, result);
                for (const std::string& found : s2.FindIn(stack_.data(), OwnStack::kSize))
                    ADD_FAILURE() << what << ", key " << keyLength << ", message " << messageLength << ": " << found;
                if (!canSave)
                    continue;  // nothing here reads the vector registers
                for (const std::string& found : s2.FindIn(registers_.area, VectorRegisters::kSize))
                    ADD_FAILURE() << what << ", key " << keyLength << ", message " << messageLength << ": " << found
                                  << " in the vector registers";
            }
    }

    OwnStack stack_;
    VectorRegisters registers_;  // off the thread's stack
};

TEST_P(HmacWipe, Md5LeavesNothingOfTheKeyOnTheStack)
{
    ExpectNothingLeft<Md5Wipe>("HMAC-MD5");
}

TEST_P(HmacWipe, Sha1LeavesNothingOfTheKeyOnTheStack)
{
    ExpectNothingLeft<Sha1Wipe>("HMAC-SHA-1");
}

TEST_P(HmacWipe, Sha256LeavesNothingOfTheKeyOnTheStack)
{
    ExpectNothingLeft<Sha256Wipe>("HMAC-SHA-256");
}

TEST_P(HmacWipe, Sha512LeavesNothingOfTheKeyOnTheStack)
{
    ExpectNothingLeft<Sha512Wipe>("HMAC-SHA-512");
}

// Fed window by window, as the file path feeds them, the keyed digests leave
// nothing of the key behind either: not where they were set up and finished,
// and not on the threads that fed them the windows (other threads than that
// one, in the file path), which a final wipe on the first would not reach.
TEST_P(HmacWipe, WindowByWindowTheyLeaveNothingOfTheKeyOnAnyThread)
{
    std::mt19937 rng(4231);
    const std::string message = RandomKey(300, rng);
    OwnStack feeding;
    const bool canSave = VectorRegisters::CanSave();
    const struct {
        const char* what;
        Algorithm tick;
        Secrets (*secrets)(const std::string&);
    } kinds[] = {{"HMAC-MD5", Algorithm::Md5, Md5Secrets},
                 {"HMAC-SHA-1", Algorithm::Sha1, Sha1Secrets},
                 {"HMAC-SHA-256", Algorithm::Sha256, Sha256Secrets},
                 {"HMAC-SHA-512", Algorithm::Sha512, Sha512Secrets}};
    for (const auto& kind : kinds)
        for (std::size_t keyLength : {20, 100, 200}) {
            const std::string key = RandomKey(keyLength, rng);
            const Secrets s = kind.secrets(key);
            WindowDigestChoice choice{.algorithms = {kind.tick}, .hmac = true, .key = key};
            std::unique_ptr<WindowDigests> digests;
            stack_.Run([&] { digests = std::make_unique<WindowDigests>(choice); });
            for (const std::string& found : s.FindIn(stack_.data(), OwnStack::kSize))
                ADD_FAILURE() << kind.what << ", key " << keyLength << ", where it was set up: " << found;
            feeding.Run([&] {
                const auto* bytes = reinterpret_cast<const std::uint8_t*>(message.data());
                digests->Feed(0, bytes, 100);
                digests->Feed(0, bytes + 100, 200);
                if (canSave)
                    registers_.Save();
            });
            for (const std::string& found : s.FindIn(feeding.data(), OwnStack::kSize))
                ADD_FAILURE() << kind.what << ", key " << keyLength << ", where it was fed: " << found;
            for (const std::string& found :
                 canSave ? s.FindIn(registers_.area, VectorRegisters::kSize) : std::vector<std::string>{})
                ADD_FAILURE() << kind.what << ", key " << keyLength << ": " << found
                              << " in the vector registers of the feeding thread";
            stack_.Run([&] {
                digests->Finish();
                digests.reset();
            });
            for (const std::string& found : s.FindIn(stack_.data(), OwnStack::kSize))
                ADD_FAILURE() << kind.what << ", key " << keyLength << ", where it was finished: " << found;
        }
}

// What stands for the key in a keyed digest of the hashes that are a state
// fed in pieces: the key, the key-dependent part of the pad blocks (the
// key's digest instead, when the key is longer than the block), and the
// state once the inner pad block is in; for BLAKE3's keyed mode, its key,
// which is its starting chaining value.
std::string PlainDigestOf(Algorithm algorithm, const std::string& bytes)
{
    const auto message = RowOf(algorithm).start(nullptr, 0);
    message->Feed(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    const DigestBytes digest = message->Finish();
    return std::string(reinterpret_cast<const char*>(digest.data()), digest.size);
}

Secrets StreamSecrets(Algorithm algorithm, const std::string& key)
{
    Secrets s;
    const auto* keyBytes = reinterpret_cast<const std::uint8_t*>(key.data());
    s.AddBytes("key", keyBytes, key.size());
    const std::size_t block = RowOf(algorithm).hmacBlock;
    if (block == 0)
        return s;
    const std::string k = key.size() > block ? PlainDigestOf(algorithm, key) : key;
    s.AddBytes("hashed key", reinterpret_cast<const std::uint8_t*>(k.data()), k.size());
    for (const std::uint8_t pad : {std::uint8_t{0x36}, std::uint8_t{0x5C}}) {
        std::string padded(block, static_cast<char>(pad));
        for (std::size_t i = 0; i < k.size(); ++i)
            padded[i] = static_cast<char>(static_cast<std::uint8_t>(k[i]) ^ pad);
        const std::string name = pad == 0x36 ? "inner" : "outer";
        s.AddBytes(name + " pad", reinterpret_cast<const std::uint8_t*>(padded.data()), k.size());
        // The state once the pad block and one byte more are in: the block is
        // then taken in, whichever hash it is.
        if (algorithm == Algorithm::Blake2b || algorithm == Algorithm::Blake2s) {
            const auto chain = [&](auto& state, auto init, auto update) {
                init(state);
                update(state, reinterpret_cast<const std::uint8_t*>(padded.data()), padded.size());
                const std::uint8_t one = 0;
                update(state, &one, 1);
                s.AddBytes(name + " chaining value", reinterpret_cast<const std::uint8_t*>(state.chain.h),
                           sizeof state.chain.h);
            };
            if (algorithm == Algorithm::Blake2b) {
                Blake2bState state;
                chain(
                    state, [](Blake2bState& st) { Blake2bInit(st); }, Blake2bUpdate);
            } else {
                Blake2sState state;
                chain(
                    state, [](Blake2sState& st) { Blake2sInit(st); }, Blake2sUpdate);
            }
        } else {
            Sha3State state;
            Sha3Init(state, 200 / 2 - block / 2);
            Sha3Update(state, reinterpret_cast<const std::uint8_t*>(padded.data()), padded.size());
            s.AddBytes(name + " lanes", reinterpret_cast<const std::uint8_t*>(state.lanes), sizeof state.lanes);
        }
    }
    return s;
}

// The same rules for the hashes fed in pieces, HMAC and BLAKE3's keyed mode:
// nothing of the key where they were set up, fed or finished, nor in the
// vector registers of the thread that fed them, nor in the heap blocks they
// free.
TEST(KeyedStreamsWipe, TheyLeaveNothingOfTheKeyOnAnyThreadOrInTheHeap)
{
    std::mt19937 rng(7693);
    const std::string message = RandomKey(300, rng);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(message.data());
    OwnStack setUp, feeding;
    VectorRegisters registers;
    const bool canSave = VectorRegisters::CanSave();
    // Each block routine this CPU can run, as a CPU without AVX-512 would
    // choose a narrower one; the paths go back to the chosen ones at the end.
    struct Forced {
        const char* path;
        bool (*force)();
    };
    const Forced forced[] = {
        {"chosen", [] { return true; }},
        {"portable", [] { return ForcePath(Sha3Path::Portable) && ForcePath(Blake3Path::Portable); }},
        {"AVX2", [] { return ForcePath(Blake3Path::Avx2); }},
    };
    struct ChosenAgain {
        ~ChosenAgain() { UseChosenPaths(); }
    } chosenAgain;
    for (const Forced& path : forced) {
        if (!path.force())
            continue;
        for (const Algorithm algorithm :
             {Algorithm::Sha3_224, Algorithm::Sha3_512, Algorithm::Blake2b, Algorithm::Blake2s, Algorithm::Blake3}) {
            const AlgorithmRow& row = RowOf(algorithm);
            const std::vector<std::size_t> lengths =
                row.hmacBlock == 0 ? std::vector<std::size_t>{32} : std::vector<std::size_t>{20, row.hmacBlock + 36};
            for (const std::size_t length : lengths) {
                const std::string key = RandomKey(length, rng);
                const Secrets s = StreamSecrets(algorithm, key);
                const std::string what =
                    std::string(row.name) + " (" + path.path + " path), key " + std::to_string(length);
                WindowDigestChoice choice{.algorithms = {algorithm}, .hmac = row.hmacBlock > 0};
                (row.hmacBlock > 0 ? choice.key : choice.blake3Key) = key;
                std::unique_ptr<WindowDigests> digests;
                heap::recorded = 0;
                heap::recording = true;
                setUp.Run([&] { digests = std::make_unique<WindowDigests>(choice); });
                heap::recording = false;
                const std::size_t blocks = std::min(heap::recorded.load(), std::size(heap::blocks));
                for (const std::string& found : s.FindIn(setUp.data(), OwnStack::kSize))
                    ADD_FAILURE() << what << ", where it was set up: " << found;
                feeding.Run([&] {
                    digests->Feed(0, bytes, 100);
                    digests->Feed(0, bytes + 100, 200);
                    if (canSave)
                        registers.Save();
                });
                for (const std::string& found : s.FindIn(feeding.data(), OwnStack::kSize))
                    ADD_FAILURE() << what << ", where it was fed: " << found;
                for (const std::string& found :
                     canSave ? s.FindIn(registers.area, VectorRegisters::kSize) : std::vector<std::string>{})
                    ADD_FAILURE() << what << ": " << found << " in the vector registers of the feeding thread";
                std::fill(std::begin(heap::keptSize), std::end(heap::keptSize), 0);
                heap::keeping = true;
                setUp.Run([&] {
                    digests->Finish();
                    digests.reset();
                });
                heap::keeping = false;
                for (const std::string& found : s.FindIn(setUp.data(), OwnStack::kSize))
                    ADD_FAILURE() << what << ", where it was finished: " << found;
                ExpectFreedBlocksClean(s, blocks, what);
            }
        }
    }
}

// A keyed digest fed window by window keeps its key block and the inner
// hash's state in its own heap block, and the state becomes the inner
// digest, from which the HMAC of any message that begins alike can be had
// without the key. None of it is in the block when the block is freed: the
// test reads each block the digests took just before it goes back.
template <class Record, std::size_t kBlock = kBlockSize>
void ExpectHeapBlocksWiped(const char* what, Algorithm tick, Secrets (*secrets)(const std::string&),
                           void (*hash)(const std::string&, Record&),
                           void (*hmac)(const std::string&, const void*, std::int32_t, Record&), bool bigEndian)
{
    std::mt19937 rng(2104);
    const std::string message = RandomKey(300, rng);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(message.data());
    for (std::size_t keyLength : {std::size_t{20}, kBlock + 36}) {
        const std::string key = RandomKey(keyLength, rng);
        Secrets s = secrets(key);
        AddInnerDigest<Record, kBlock>(s, key, message, hash, bigEndian);
        WindowDigestChoice choice{.algorithms = {tick}, .hmac = true, .key = key};

        heap::recorded = 0;
        heap::recording = true;
        auto digests = std::make_unique<WindowDigests>(choice);
        heap::recording = false;
        const std::size_t blocks = std::min(heap::recorded.load(), std::size(heap::blocks));
        ASSERT_GT(blocks, 0u);
        digests->Feed(0, bytes, 100);
        digests->Feed(0, bytes + 100, 200);
        std::fill(std::begin(heap::keptSize), std::end(heap::keptSize), 0);
        heap::keeping = true;
        const DigestResults results = digests->Finish();
        heap::keeping = false;

        Record want;
        hmac(key, bytes, static_cast<std::int32_t>(message.size()), want);
        EXPECT_EQ(HexOf(results, tick), DigestToHexText(want)) << what << ", key " << keyLength;
        ExpectFreedBlocksClean(s, blocks, std::string(what) + ", key " + std::to_string(keyLength));
    }
}

TEST(WindowDigestsWipe, KeyedDigestsLeaveNothingInTheHeapBlocksTheyFree)
{
    ExpectHeapBlocksWiped<Md5Digest>("HMAC-MD5", Algorithm::Md5, Md5Secrets, Md5OfText, HmacMd5OfBytes, false);
    ExpectHeapBlocksWiped<Sha1Digest>("HMAC-SHA-1", Algorithm::Sha1, Sha1Secrets, Sha1OfText, HmacSha1OfBytes, true);
    ExpectHeapBlocksWiped<Sha256Digest>("HMAC-SHA-256", Algorithm::Sha256, Sha256Secrets, Sha256OfText,
                                        HmacSha256OfBytes, true);
    ExpectHeapBlocksWiped<Sha512Digest, kSha512BlockSize>("HMAC-SHA-512", Algorithm::Sha512, Sha512Secrets,
                                                          Sha512OfText, HmacSha512OfBytes, true);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, HmacWipe,
    testing::Values(WipePaths{"Portable", Sha1Path::Portable, Sha256Path::Portable, Sha512Path::Portable},
                    WipePaths{"ShaNi", Sha1Path::ShaNi, Sha256Path::ShaNi, Sha512Path::Portable},
                    WipePaths{"Sha512Avx2", Sha1Path::Portable, Sha256Path::Portable, Sha512Path::Avx2},
                    WipePaths{"Sha512Avx512", Sha1Path::Portable, Sha256Path::Portable, Sha512Path::Avx512}),
    [](const testing::TestParamInfo<WipePaths>& info) { return info.param.name; });

// The lane object's heap blocks as each keyed lane's outer hash begins,
// read through the lane objects' test seam (WatchLaneOuterHashes): one copy
// per lane, taken at that point, to be searched once the stepping is done.
// The copies go into room taken beforehand, so that the watch leaves nothing
// of its own on the stepping thread's stack or in the heap.
class OuterHashWatch {
public:
    OuterHashWatch(const heap::Block* blocks, std::size_t count, std::size_t width)
        : blocks_(blocks, blocks + count), seen_(width)
    {
        std::size_t size = 0;
        for (const heap::Block& b : blocks_)
            size += b.size;
        copies_.assign(width, std::vector<std::uint8_t>(size));
        watching = this;
        WatchLaneOuterHashes(Copy);
    }
    ~OuterHashWatch()
    {
        WatchLaneOuterHashes(nullptr);
        watching = nullptr;
    }
    OuterHashWatch(const OuterHashWatch&) = delete;
    OuterHashWatch& operator=(const OuterHashWatch&) = delete;

    // How often the lane's outer hash began, and the blocks, one after the
    // other, as they were the last time.
    std::size_t Begun(std::size_t lane) const { return seen_[lane]; }
    const std::vector<std::uint8_t>& Blocks(std::size_t lane) const { return copies_[lane]; }

private:
    static void Copy(std::size_t lane)
    {
        OuterHashWatch& w = *watching;
        ++w.seen_[lane];
        std::uint8_t* to = w.copies_[lane].data();
        for (const heap::Block& b : w.blocks_) {
            std::memcpy(to, b.address, b.size);
            to += b.size;
        }
    }

    static inline OuterHashWatch* watching = nullptr;
    std::vector<heap::Block> blocks_;
    std::vector<std::vector<std::uint8_t>> copies_;
    std::vector<std::size_t> seen_;
};

// Many HMACs in lanes, keyed lanes beside plain ones and one abandoned
// mid-message, leave nothing of their keys behind: not where the lanes were
// started (a long key is hashed there), not on the thread that stepped them,
// not in its vector registers, not in the lane object's own heap block once
// the digests are taken, while the object lives on for the next messages.
// Besides what the one-shot HMAC must not leave, each keyed lane's inner
// digest. A keyed lane's inner pad block is gone from the heap block as soon
// as its outer hash begins, not only once its digest is taken. MD5, SHA-1,
// SHA-256 and SHA-512, on each of their lane paths.
class LaneWipe : public OnEveryLanePath {
protected:
    template <class D>
    void ExpectNothingLeft();

    OwnStack stack_;
    VectorRegisters registers_;
};

template <class D>
void LaneWipe::ExpectNothingLeft()
{
    using Record = typename D::Digest;
    std::mt19937 rng(2202);
    const std::string message = RandomKey(300, rng);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(message.data());
    const bool canSave = VectorRegisters::CanSave();
    // Keys shorter than a block, of a block and longer; messages of nothing,
    // of a block and longer.
    const std::size_t messageLengths[] = {0, D::kBlock, 150, 300};
    for (std::size_t keyLength : {std::size_t{20}, D::kBlock, D::kBlock + 36}) {
        std::unique_ptr<typename D::Lanes> lanes;
        heap::recorded = 0;
        heap::recording = true;
        stack_.Run([&] { lanes = std::make_unique<typename D::Lanes>(); });
        heap::recording = false;
        const std::size_t blocks = std::min(heap::recorded.load(), std::size(heap::blocks));
        ASSERT_GT(blocks, 0u);
        const std::size_t width = lanes->Width();

        // Every lane but the last of two or more keyed, each with a key of
        // its own; the last of two or more plain; lane 0 abandoned halfway
        // when there are three or more.
        std::vector<std::string> keys(width);
        Secrets s;
        for (std::size_t lane = 0; lane < width; ++lane) {
            if (width > 1 && lane == width - 1)
                continue;
            keys[lane] = RandomKey(keyLength, rng);
            s = Merge(s, D::KeySecrets(keys[lane]));
        }
        const auto length = [&](std::size_t lane) { return messageLengths[lane % std::size(messageLengths)]; };
        const bool abandon = width > 2;
        const std::string what = std::string("key ") + std::to_string(keyLength);
        stack_.Run([&] {
            for (std::size_t lane = 0; lane < width; ++lane) {
                if (keys[lane].empty())
                    lanes->Start(lane);
                else
                    lanes->StartKeyed(lane, keys[lane]);
            }
        });
        for (const std::string& found : s.FindIn(stack_.data(), OwnStack::kSize))
            ADD_FAILURE() << what << ", where the lanes were started: " << found;
        {
            OuterHashWatch watch(heap::blocks, blocks, width);
            stack_.Run([&] {
                for (std::size_t lane = 0; lane < width; ++lane) {
                    lanes->Feed(lane, bytes, length(lane));
                    if (!(abandon && lane == 0))
                        lanes->End(lane);
                }
                while (lanes->Step().working != 0) {
                }
                if (abandon)
                    lanes->Abandon(0);
                if (canSave)
                    registers_.Save();
            });
            for (std::size_t lane = 0; lane < width; ++lane) {
                const bool ended = !keys[lane].empty() && !(abandon && lane == 0);
                ASSERT_EQ(watch.Begun(lane), ended ? 1u : 0u) << what << ", lane " << lane << ": outer hashes begun";
                if (!ended)
                    continue;
                const KeyBlocks<Record, D::kBlock> k(keys[lane], D::Hash);
                Secrets pad;
                pad.AddBytes("inner pad", k.inner, k.keyBytes);
                for (const std::string& found : pad.FindIn(watch.Blocks(lane).data(), watch.Blocks(lane).size()))
                    ADD_FAILURE() << what << ", lane " << lane << ": " << found
                                  << " in the lane object's heap blocks as its outer hash began";
            }
        }
        for (std::size_t lane = abandon ? 1 : 0; lane < width; ++lane)
            if (!keys[lane].empty()) {
                Record result;
                D::Keyed(keys[lane], bytes, static_cast<std::int32_t>(length(lane)), result);
                AddOuterWorkingWords<D>(s, keys[lane], result);
                AddInnerDigest<Record, D::kBlock>(s, keys[lane], message.substr(0, length(lane)), D::Hash,
                                                  D::kBigEndian);
            }
        for (const std::string& found : s.FindIn(stack_.data(), OwnStack::kSize))
            ADD_FAILURE() << what << ", where the lanes were stepped: " << found;
        for (const std::string& found :
             canSave ? s.FindIn(registers_.area, VectorRegisters::kSize) : std::vector<std::string>{})
            ADD_FAILURE() << what << ": " << found << " in the vector registers of the stepping thread";

        std::vector<Record> results(width);
        stack_.Run([&] {
            for (std::size_t lane = abandon ? 1 : 0; lane < width; ++lane)
                results[lane] = lanes->TakeDigest(lane);
        });
        for (std::size_t lane = abandon ? 1 : 0; lane < width; ++lane) {
            Record want;
            if (keys[lane].empty())
                D::Plain(bytes, static_cast<std::int32_t>(length(lane)), want);
            else
                D::Keyed(keys[lane], bytes, static_cast<std::int32_t>(length(lane)), want);
            EXPECT_EQ(DigestToHexText(results[lane]), DigestToHexText(want)) << what << ", lane " << lane;
        }
        for (const std::string& found : s.FindIn(stack_.data(), OwnStack::kSize))
            ADD_FAILURE() << what << ", where the digests were taken: " << found;
        for (std::size_t b = 0; b < blocks; ++b)
            for (const std::string& found : s.FindIn(heap::blocks[b].address, heap::blocks[b].size))
                ADD_FAILURE() << what << ": " << found << " in the lane object's heap block " << b << " of "
                              << heap::blocks[b].size << " bytes";

        // A keyed lane still running when the object goes: its key block is
        // not in the memory given back.
        const std::string unfinished = RandomKey(keyLength, rng);
        stack_.Run([&] {
            lanes->StartKeyed(0, unfinished);
            lanes->Feed(0, bytes, 10);
        });
        std::fill(std::begin(heap::keptSize), std::end(heap::keptSize), 0);
        heap::keeping = true;
        lanes.reset();
        heap::keeping = false;
        ExpectFreedBlocksClean(D::KeySecrets(unfinished), blocks, what + ", the lane object with a lane running");
    }
}

TEST_P(LaneWipe, KeyedLanesLeaveNothingOfTheirKeys)
{
    ForTheDigest<Md5Wipe, Sha1Wipe, Sha256Wipe, Sha512Wipe>([&]<class D>() { ExpectNothingLeft<D>(); });
}

VELLUMARK_ON_EVERY_LANE_PATH(LaneWipe);

// The scan is no formality, and the scrub reaches far enough: what the MD5
// block function, the portable SHA-1 and SHA-256 block functions and every
// SHA-512 block function leave of a key block in their frames is found
// there without the scrub, and gone after the one their HMAC uses.
TEST(HmacWipeScan, TheScrubClearsWhatABlockFunctionLeaves)
{
    OwnStack stack;
    if (!stack.HoldsLocals())
        GTEST_SKIP() << "locals do not live on the thread's stack in this build";
    std::mt19937 rng(2104);
    const auto expectCleared = [&](const std::string& what, const Secrets& s, void (*scrub)(), auto compress) {
        stack.Run(compress);
        EXPECT_FALSE(s.FindIn(stack.data(), OwnStack::kSize).empty()) << what << " left nothing to find";
        stack.Run([&] {
            compress();
            scrub();
        });
        for (const std::string& found : s.FindIn(stack.data(), OwnStack::kSize))
            ADD_FAILURE() << what << ", after the scrub: " << found;
    };

    const std::string key = RandomKey(20, rng);
    const KeyBlocks<Md5Digest> k5(key, Md5OfText);
    Md5Digest state5{};  // off the thread's stack
    expectCleared("MD5", Md5Secrets(key), ScrubStackShallow, [&] { Md5Compress(state5, k5.inner, 1); });

    const KeyBlocks<Sha1Digest> k(key, Sha1OfText);
    Sha1Digest state{};  // off the thread's stack
    expectCleared("SHA-1", Sha1Secrets(key), ScrubStack, [&] { Sha1CompressPortable(state, k.inner, 1); });

    const KeyBlocks<Sha256Digest> k256(key, Sha256OfText);
    Sha256Digest state256{};
    expectCleared("SHA-256", Sha256Secrets(key), ScrubStack, [&] { Sha256CompressPortable(state256, k256.inner, 1); });

    // The wider paths keep two blocks' schedules: the inner pad block beside
    // the outer one, as in the HMAC's last call.
    const KeyBlocks<Sha512Digest, kSha512BlockSize> k512(key, Sha512OfText);
    std::uint8_t padBlocks[2 * kSha512BlockSize];
    std::memcpy(padBlocks, k512.inner, kSha512BlockSize);
    std::memcpy(padBlocks + kSha512BlockSize, k512.outer, kSha512BlockSize);
    const Secrets secrets512 = Sha512Secrets(key);
    for (Sha512Path path : kSha512Paths) {
        if (!CpuRuns(path))
            continue;
        Sha512Digest state512{};
        const Sha512CompressFn compress = PathFunction(path);
        for (std::size_t count : {1, 2})
            expectCleared(std::string("SHA-512 ") + PathName(path) + ", " + std::to_string(count) + " blocks",
                          secrets512, ScrubStackDeep, [&] { compress(state512, padBlocks, count); });
    }
}

}  // namespace
