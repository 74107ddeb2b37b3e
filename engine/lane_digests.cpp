// The lane objects: per lane, where its next blocks come from (a block of
// its own, or the caller's bytes in place), and the padding, key blocks and
// outer hash that the one-shot operations build, queued as blocks of the
// lane's own so that they too run side by side.
#include "engine/lane_digests.h"
#include "engine/lane_object_impl.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "engine/digest_paths.h"
#include "engine/entries.h"
#include "engine/path_choice.h"

namespace engine {
namespace {

template <class Digest>
struct Traits;

// Besides what each digest's own traits say: 32-bit words, 64-byte blocks,
// and a bit count of 64 bits at the end of the padding.
struct Blocks64 {
    using Word = std::uint32_t;
    static constexpr std::size_t kBlock = kBlockSize;
    static constexpr std::size_t kCountBytes = 8;
};

template <>
struct Traits<Md5Digest> : Blocks64 {
    static constexpr std::size_t kWords = 4;
    static constexpr std::size_t kOutputWords = kWords;
    using Record = Md5Digest;
    static constexpr bool kBigEndian = false;  // the words in the digest, and the bit count
    static constexpr std::uint32_t kStart[kWords] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476};
    using Path = Md5LanePath;
    using LanesFn = Md5LanesFn;
    static Path PathInUse() { return engine::PathInUse<Md5LanePath>(); }
    // The one-message block function, for keys longer than a block: the
    // record holds the words least significant byte first.
    static void Compress(Md5Digest& state, const std::uint8_t* blocks, std::size_t count)
    {
        Md5Compress(state, blocks, count);
    }
};

template <>
struct Traits<Sha1Digest> : Blocks64 {
    static constexpr std::size_t kWords = 5;
    static constexpr std::size_t kOutputWords = kWords;
    using Record = Sha1Digest;
    static constexpr bool kBigEndian = true;
    static constexpr std::uint32_t kStart[kWords] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    using Path = Sha1LanePath;
    using LanesFn = Sha1LanesFn;
    static Path PathInUse() { return engine::PathInUse<Sha1LanePath>(); }
    static void Compress(Sha1Digest& state, const std::uint8_t* blocks, std::size_t count)
    {
        RoutineInUse<Sha1Path>()(state, blocks, count);
    }
};

template <>
struct Traits<Sha256Digest> : Blocks64 {
    static constexpr std::size_t kWords = 8;
    static constexpr std::size_t kOutputWords = kWords;
    using Record = Sha256Digest;
    static constexpr bool kBigEndian = true;
    static constexpr std::uint32_t kStart[kWords] = {0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A,
                                                     0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19};
    using Path = Sha256LanePath;
    using LanesFn = Sha256LanesFn;
    static Path PathInUse() { return engine::PathInUse<Sha256LanePath>(); }
    static void Compress(Sha256Digest& state, const std::uint8_t* blocks, std::size_t count)
    {
        RoutineInUse<Sha256Path>()(state, blocks, count);
    }
};

// SHA-512: 64-bit words, 128-byte blocks, a bit count of 128 bits.
template <>
struct Traits<Sha512Digest> {
    using Word = std::uint64_t;
    static constexpr std::size_t kBlock = kSha512BlockSize;
    static constexpr std::size_t kCountBytes = 16;
    static constexpr std::size_t kWords = 8;
    static constexpr std::size_t kOutputWords = kWords;
    using Record = Sha512Digest;
    static constexpr bool kBigEndian = true;
    static constexpr std::uint64_t kStart[kWords] = {0x6A09E667F3BCC908, 0xBB67AE8584CAA73B, 0x3C6EF372FE94F82B,
                                                     0xA54FF53A5F1D36F1, 0x510E527FADE682D1, 0x9B05688C2B3E6C1F,
                                                     0x1F83D9ABFB41BD6B, 0x5BE0CD19137E2179};
    using Path = Sha512LanePath;
    using LanesFn = Sha512LanesFn;
    static Path PathInUse() { return engine::PathInUse<Sha512LanePath>(); }
    static void Compress(Sha512Digest& state, const std::uint8_t* blocks, std::size_t count)
    {
        RoutineInUse<Sha512Path>()(state, blocks, count);
    }
};

// SHA-224 and SHA-384: the lanes of SHA-256 and SHA-512 from other start
// values, their digests the first seven and six words.
template <>
struct Traits<Sha224Digest> : Traits<Sha256Digest> {
    static constexpr std::size_t kOutputWords = 7;
    static constexpr std::uint32_t kStart[kWords] = {0xC1059ED8, 0x367CD507, 0x3070DD17, 0xF70E5939,
                                                     0xFFC00B31, 0x68581511, 0x64F98FA7, 0xBEFA4FA4};
};

template <>
struct Traits<Sha384Digest> : Traits<Sha512Digest> {
    static constexpr std::size_t kOutputWords = 6;
    static constexpr std::uint64_t kStart[kWords] = {0xCBBB9D5DC1059ED8, 0x629A292A367CD507, 0x9159015A3070DD17,
                                                     0x152FECD8F70E5939, 0x67332667FFC00B31, 0x8EB44A8768581511,
                                                     0xDB0C2E0D64F98FA7, 0x47B5481DBEFA4FA4};
};

template <class Word>
void PutWord(std::uint8_t* p, Word v, bool bigEndian)
{
    for (std::size_t i = 0; i < sizeof(Word); ++i)
        p[bigEndian ? sizeof(Word) - 1 - i : i] = static_cast<std::uint8_t>(v >> (8 * i));
}

template <class Word>
Word GetWord(const std::uint8_t* p, bool bigEndian)
{
    Word v = 0;
    for (std::size_t i = 0; i < sizeof(Word); ++i)
        v |= static_cast<Word>(Word{p[bigEndian ? sizeof(Word) - 1 - i : i]} << (8 * i));
    return v;
}

// In place: after the `length` bytes at `blocks` (fewer than a block), 0x80,
// zeros and the bit count of `total` bytes, in as many bytes as the digest
// gives it. `blocks` has room for two; returns how many the padding took.
template <class T>
std::size_t Pad(std::uint8_t* blocks, std::size_t length, std::uint64_t total)
{
    constexpr std::size_t kBlock = T::kBlock, kField = T::kCountBytes;
    const std::size_t count = length < kBlock - kField ? 1 : 2;
    const std::size_t end = count * kBlock - kField;
    blocks[length] = 0x80;
    std::memset(blocks + length + 1, 0, end - length - 1);
    // total * 8, the three bits shifted out the start of a 128-bit count.
    const std::uint64_t low = total << 3, high = total >> 61;
    for (std::size_t i = 0; i < kField; ++i)
        blocks[end + (T::kBigEndian ? kField - 1 - i : i)] =
            static_cast<std::uint8_t>(i < 8 ? low >> (8 * i) : high >> (8 * (i - 8)));
    return count;
}

LaneOuterHashSeen outerHashSeen = nullptr;

}  // namespace

template <class Digest>
struct LaneDigestsState {
    [[noreturn]] static void Misuse(const char* what) { LaneMisuse("lane digests", what); }

    using T = Traits<Digest>;
    using Word = typename T::Word;
    static constexpr std::size_t kWords = T::kWords;
    static constexpr std::size_t kBlock = T::kBlock;

    // Message: taking bytes until End; Final: its padding queued; Outer:
    // the keyed lane's outer hash queued; Done: the digest waits.
    enum class Phase : std::uint8_t { Idle, Message, Final, Outer, Done };

    struct Lane {
        // A block begun (`partial` bytes), or up to two whole blocks of the
        // lane's own: one completed from a window, the padding, or the outer
        // hash's key and final blocks.
        alignas(64) std::uint8_t own[2 * kBlock];
        // Keyed: the key block XORed with 0x36, from the start to the outer
        // hash. The inner hash's first block is read from here.
        std::uint8_t pad[kBlock];
        const std::uint8_t* queue;  // the next of `queued` whole blocks of its own
        std::size_t queued;
        const std::uint8_t* span;  // the caller's bytes not taken in yet
        std::size_t spanSize;
        std::size_t partial;
        std::uint64_t total;  // bytes into this hash, the key block included
        Phase phase;
        bool ended;
        bool keyed;
    };

    LaneStates<kWords, Word> words;
    Lane lanes[kMaxLanes];
    typename T::LanesFn routine;
    std::size_t width;
    typename T::Path path;

    // Key material may be anywhere in it; every member is plain data.
    ~LaneDigestsState() { WipeKeyMaterial(this, sizeof *this); }

    LaneDigestsState()
    {
        path = T::PathInUse();
        routine = PathFunction(path);
        width = LaneWidth(path);
        std::memset(&words, 0, sizeof words);
        std::memset(lanes, 0, sizeof lanes);
    }

    Lane& At(std::size_t lane)
    {
        if (lane >= width)
            Misuse("no such lane");
        return lanes[lane];
    }

    void SetWords(std::size_t lane, const Word* values)
    {
        for (std::size_t w = 0; w < kWords; ++w)
            words.words[w][lane] = values[w];
    }

    // Everything of the lane, key material or not, and it is idle.
    void Clear(std::size_t lane)
    {
        Lane& l = lanes[lane];
        const bool secret = l.keyed;
        if (secret) {
            WipeKeyMaterial(&l, sizeof l);
            for (std::size_t w = 0; w < kWords; ++w)
                WipeKeyMaterial(&words.words[w][lane], sizeof(Word));
        } else {
            std::memset(&l, 0, sizeof l);
        }
        l.phase = Phase::Idle;
    }

    bool Working(const Lane& l) const
    {
        return (l.phase == Phase::Message || l.phase == Phase::Final || l.phase == Phase::Outer) &&
               (l.queued > 0 || l.spanSize >= kBlock);
    }

    LaneReport Report() const { return ReportLanes(*this); }

    // The keyed lane's inner digest, its padding and the outer key block,
    // queued from the start value: the outer hash runs in the lanes too.
    void BeginOuter(std::size_t lane)
    {
        Lane& l = lanes[lane];
        constexpr std::size_t kDigestSize = sizeof(Word) * T::kOutputWords;
        for (std::size_t i = 0; i < kBlock; ++i)
            l.own[i] = static_cast<std::uint8_t>(l.pad[i] ^ (0x36 ^ 0x5C));
        WipeKeyMaterial(l.pad, sizeof l.pad);
        std::uint8_t* const final = l.own + kBlock;
        for (std::size_t w = 0; w < T::kOutputWords; ++w)
            PutWord(final + sizeof(Word) * w, words.words[w][lane], T::kBigEndian);
        Pad<T>(final, kDigestSize, kBlock + kDigestSize);
        SetWords(lane, T::kStart);
        l.queue = l.own;
        l.queued = 2;
        l.phase = Phase::Outer;
        if (outerHashSeen != nullptr)
            outerHashSeen(lane);
    }

    // After the lane's blocks moved on: what it does next, once nothing
    // whole is left where it was reading.
    void Settle(std::size_t lane)
    {
        Lane& l = lanes[lane];
        if (l.queued > 0)
            return;
        switch (l.phase) {
        case Phase::Message:
            if (l.spanSize >= kBlock)
                return;
            // A block begun: copied, so the caller's buffer is free.
            KeepTail(l, l.partial);
            if (!l.ended)
                return;
            l.queued = Pad<T>(l.own, l.partial, l.total);
            l.queue = l.own;
            l.partial = 0;
            l.phase = Phase::Final;
            return;
        case Phase::Final:
            if (l.keyed)
                BeginOuter(lane);
            else
                l.phase = Phase::Done;
            return;
        case Phase::Outer:
            l.phase = Phase::Done;
            return;
        default:
            return;
        }
    }

    void Start(std::size_t lane, bool keyed)
    {
        At(lane);
        Clear(lane);
        Lane& l = lanes[lane];
        l.keyed = keyed;
        l.phase = Phase::Message;
        SetWords(lane, T::kStart);
    }

    // The key's hash, for a key longer than a block, on one chain: the
    // whole state, of which the digest's words come first.
    static void HashKey(const std::string& key, typename T::Record& hash)
    {
        for (std::size_t w = 0; w < kWords; ++w)
            PutWord(hash.bytes + sizeof(Word) * w, T::kStart[w], false);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(key.data());
        const std::size_t whole = key.size() / kBlock;
        T::Compress(hash, bytes, whole);
        std::uint8_t final[2 * kBlock];
        const std::size_t tail = key.size() - whole * kBlock;
        std::memcpy(final, bytes + whole * kBlock, tail);
        T::Compress(hash, final, Pad<T>(final, tail, key.size()));
        WipeKeyMaterial(final, sizeof final);
        // The record holds the words least significant byte first.
        for (std::size_t w = 0; w < kWords; ++w) {
            std::uint8_t* const word = hash.bytes + sizeof(Word) * w;
            PutWord(word, GetWord<Word>(word, false), T::kBigEndian);
        }
    }

    void StartKeyed(std::size_t lane, const std::string& key)
    {
        Start(lane, true);
        Lane& l = lanes[lane];
        std::memset(l.pad, 0x36, kBlock);
        if (key.size() > kBlock) {
            typename T::Record hash;
            HashKey(key, hash);
            for (std::size_t i = 0; i < sizeof(Word) * T::kOutputWords; ++i)
                l.pad[i] = static_cast<std::uint8_t>(l.pad[i] ^ hash.bytes[i]);
            WipeKeyMaterial(&hash, sizeof hash);
            ClearVectorRegisters();
            ScrubLaneStack();
        } else {
            for (std::size_t i = 0; i < key.size(); ++i)
                l.pad[i] = static_cast<std::uint8_t>(l.pad[i] ^ static_cast<std::uint8_t>(key[i]));
        }
        l.queue = l.pad;
        l.queued = 1;
        l.total = kBlock;
    }

    // Feed once LaneObject has checked the call, with bytes to take.
    void Take(std::size_t lane, const std::uint8_t* bytes, std::size_t size)
    {
        Lane& l = lanes[lane];
        l.total += size;
        if (l.partial > 0) {
            const std::size_t take = std::min(kBlock - l.partial, size);
            std::memcpy(l.own + l.partial, bytes, take);
            l.partial += take;
            bytes += take;
            size -= take;
            if (l.partial < kBlock)
                return;
            l.partial = 0;
            l.queue = l.own;
            l.queued = 1;
        }
        l.span = bytes;
        l.spanSize = size;
        Settle(lane);
    }

    LaneReport Step()
    {
        const LaneReport before = Report();
        bool secret = false;
        for (;;) {
            const std::uint8_t* blocks[kMaxLanes];
            LaneMask active = 0;
            std::size_t count = ~std::size_t{0};
            for (std::size_t i = 0; i < width; ++i) {
                Lane& l = lanes[i];
                if (!Working(l))
                    continue;
                std::size_t available;
                if (l.queued > 0) {
                    blocks[i] = l.queue;
                    available = l.queued;
                } else {
                    blocks[i] = l.span;
                    available = l.spanSize / kBlock;
                }
                active |= LaneMask{1} << i;
                count = std::min(count, available);
                secret = secret || l.keyed;
            }
            if (active == 0)
                break;
            routine(words, blocks, active, count);
            for (std::size_t i = 0; i < width; ++i) {
                if (((active >> i) & 1) == 0)
                    continue;
                Lane& l = lanes[i];
                if (l.queued > 0) {
                    l.queue += count * kBlock;
                    l.queued -= count;
                } else {
                    l.span += count * kBlock;
                    l.spanSize -= count * kBlock;
                }
                Settle(i);
            }
            if ((before.working & ~Report().working) != 0)
                break;
        }
        // The routines left words of the key blocks and keyed states in the
        // vector registers and below this frame.
        if (secret) {
            ClearVectorRegisters();
            ScrubLaneStack();
        }
        return Report();
    }

    Digest TakeDigest(std::size_t lane)
    {
        Lane& l = At(lane);
        if (l.phase != Phase::Done)
            Misuse("TakeDigest on a lane that is not done");
        Digest digest;
        static_assert(sizeof digest.bytes == sizeof(Word) * T::kOutputWords);
        for (std::size_t w = 0; w < T::kOutputWords; ++w)
            PutWord(digest.bytes + sizeof(Word) * w, words.words[w][lane], T::kBigEndian);
        Clear(lane);
        return digest;
    }
};

template <class Digest>
void LaneDigests<Digest>::Start(std::size_t lane)
{
    this->state_->Start(lane, false);
}

template <class Digest>
void LaneDigests<Digest>::StartKeyed(std::size_t lane, const std::string& key)
{
    this->state_->StartKeyed(lane, key);
}

void WatchLaneOuterHashes(LaneOuterHashSeen seen)
{
    outerHashSeen = seen;
}

template class LaneObject<LaneDigestsState<Md5Digest>, Md5Digest>;
template class LaneObject<LaneDigestsState<Sha1Digest>, Sha1Digest>;
template class LaneObject<LaneDigestsState<Sha256Digest>, Sha256Digest>;
template class LaneObject<LaneDigestsState<Sha512Digest>, Sha512Digest>;
template class LaneObject<LaneDigestsState<Sha224Digest>, Sha224Digest>;
template class LaneObject<LaneDigestsState<Sha384Digest>, Sha384Digest>;
template class LaneDigests<Md5Digest>;
template class LaneDigests<Sha1Digest>;
template class LaneDigests<Sha256Digest>;
template class LaneDigests<Sha512Digest>;
template class LaneDigests<Sha224Digest>;
template class LaneDigests<Sha384Digest>;

}  // namespace engine
