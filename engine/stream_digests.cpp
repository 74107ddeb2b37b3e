// The table's entries for the hashes that come as a state fed in pieces
// (SHA-3, BLAKE2b, BLAKE2s, BLAKE3) rather than as a block function: the
// plain digest, and the HMAC of RFC 2104 over it with the hash's own block,
// as Python's hmac over hashlib and `openssl dgst -hmac` compute it; BLAKE3
// has no HMAC but a keyed mode of its own.
#include <cstring>
#include <memory>
#include <stdexcept>
#include <type_traits>

#include "engine/blake2.h"
#include "engine/blake2_lanes.h"
#include "engine/blake3.h"
#include "engine/blake3_lanes.h"
#include "engine/digest_paths.h"
#include "engine/entries.h"
#include "engine/lane_digests.h"
#include "engine/sha3.h"
#include "engine/sha3_lanes.h"

namespace engine {
namespace {

// What the plain digest and the HMAC need of each hash: its state and
// calls, and its block for a digest of `bytes`.
struct Sha3Hash {
    using State = Sha3State;
    static constexpr std::size_t kMaxBlock = kSha3MaxRate;
    static std::size_t Block(std::size_t bytes) { return 200 - 2 * bytes; }
    static void Init(State& s, std::size_t bytes) { Sha3Init(s, bytes); }
    static void Update(State& s, const std::uint8_t* p, std::size_t n) { Sha3Update(s, p, n); }
    static void Final(State& s, std::uint8_t* digest) { Sha3Final(s, digest); }
};

struct Blake2bHash {
    using State = Blake2bState;
    static constexpr std::size_t kMaxBlock = kBlake2bBlockSize;
    static std::size_t Block(std::size_t) { return kBlake2bBlockSize; }
    static void Init(State& s, std::size_t bytes) { Blake2bInit(s, bytes); }
    static void Update(State& s, const std::uint8_t* p, std::size_t n) { Blake2bUpdate(s, p, n); }
    static void Final(State& s, std::uint8_t* digest) { Blake2bFinal(s, digest); }
};

struct Blake2sHash {
    using State = Blake2sState;
    static constexpr std::size_t kMaxBlock = kBlake2sBlockSize;
    static std::size_t Block(std::size_t) { return kBlake2sBlockSize; }
    static void Init(State& s, std::size_t bytes) { Blake2sInit(s, bytes); }
    static void Update(State& s, const std::uint8_t* p, std::size_t n) { Blake2sUpdate(s, p, n); }
    static void Final(State& s, std::uint8_t* digest) { Blake2sFinal(s, digest); }
};

// Key material that is overwritten with 0xAA, 0x55 and 0x00 however its
// scope is left. The states are plain bytes, so overwriting them is enough.
template <class T>
struct Wiped {
    static_assert(std::is_trivially_copyable_v<T>);
    T value;
    Wiped() = default;
    Wiped(const Wiped&) = delete;
    Wiped& operator=(const Wiped&) = delete;
    ~Wiped() { WipeKeyMaterial(&value, sizeof value); }
};

// After each piece of a keyed computation: the hash's words derived from
// the key leave the vector registers and the frames below the caller. The
// deep scrub reaches over every path's frames, the portable rounds' and the
// vector ones' alike.
void Forget()
{
    ClearVectorRegisters();
    ScrubStackDeep();
}

template <class H>
class PlainStream final : public MessageDigest {
public:
    explicit PlainStream(std::size_t bytes) : bytes_(bytes) { H::Init(state_, bytes); }
    void Feed(const std::uint8_t* bytes, std::size_t size) override { H::Update(state_, bytes, size); }
    DigestBytes Finish() override
    {
        DigestBytes digest;
        H::Final(state_, digest.bytes.data());
        digest.size = bytes_;
        return digest;
    }

private:
    typename H::State state_;
    std::size_t bytes_;
};

// H((K ^ opad) || H((K ^ ipad) || message)), K the key zero-filled to a
// block, or the key's own digest first when it is longer than a block. One
// copy of the key block is kept, XORed with 0x36, until the outer hash.
template <class H>
class KeyedStream final : public MessageDigest {
public:
    KeyedStream(const std::string& key, std::size_t bytes) : bytes_(bytes), block_(H::Block(bytes))
    {
        const auto* keyBytes = reinterpret_cast<const std::uint8_t*>(key.data());
        std::memset(pad_.value, 0x36, sizeof pad_.value);
        if (key.size() > block_) {
            Wiped<typename H::State> hashing;
            Wiped<std::uint8_t[kMaxDigest]> hash;
            H::Init(hashing.value, bytes);
            H::Update(hashing.value, keyBytes, key.size());
            H::Final(hashing.value, hash.value);
            Xor(hash.value, bytes);
        } else {
            Xor(keyBytes, key.size());
        }
        H::Init(inner_.value, bytes);
        H::Update(inner_.value, pad_.value, block_);
        Forget();
    }

    void Feed(const std::uint8_t* bytes, std::size_t size) override
    {
        H::Update(inner_.value, bytes, size);
        Forget();
    }

    DigestBytes Finish() override
    {
        Wiped<std::uint8_t[kMaxDigest]> innerDigest;
        H::Final(inner_.value, innerDigest.value);
        for (std::size_t i = 0; i < block_; ++i)
            pad_.value[i] = static_cast<std::uint8_t>(pad_.value[i] ^ (0x36 ^ 0x5C));
        Wiped<typename H::State> outer;
        H::Init(outer.value, bytes_);
        H::Update(outer.value, pad_.value, block_);
        H::Update(outer.value, innerDigest.value, bytes_);
        DigestBytes digest;
        H::Final(outer.value, digest.bytes.data());
        digest.size = bytes_;
        Forget();
        return digest;
    }

private:
    static constexpr std::size_t kMaxDigest = 64;

    void Xor(const std::uint8_t* key, std::size_t size)
    {
        for (std::size_t i = 0; i < size; ++i)
            pad_.value[i] = static_cast<std::uint8_t>(pad_.value[i] ^ key[i]);
    }

    std::size_t bytes_;
    std::size_t block_;
    Wiped<std::uint8_t[H::kMaxBlock]> pad_;
    Wiped<typename H::State> inner_;
};

// BLAKE3, plain or in its keyed mode, whose key of 32 bytes is in its state
// from the start: the state is wiped, and keyed, each piece's traces are
// cleared as the HMACs' are.
class Blake3Message final : public MessageDigest {
public:
    explicit Blake3Message(const std::string* key) : keyed_(key != nullptr)
    {
        if (!keyed_) {
            Blake3Init(state_.value);
            return;
        }
        if (key->size() != kBlake3KeySize)
            throw std::logic_error("BLAKE3's keyed mode takes a key of 32 bytes");
        Blake3InitKeyed(state_.value, reinterpret_cast<const std::uint8_t*>(key->data()));
        Forget();
    }

    void Feed(const std::uint8_t* bytes, std::size_t size) override
    {
        summaryLast_ = summaryLast_ && size == 0;
        Blake3Update(state_.value, bytes, size);
        if (keyed_)
            Forget();
    }

    // Keyed, the summaries would be more of what the key leaves behind, and
    // the key is wiped after every piece: only the plain hash takes pieces
    // apart.
    bool TakesApart(std::size_t size) const noexcept override
    {
        return !keyed_ && Blake3TakesSubtree(state_.value, size);
    }
    void DigestApart(std::uint64_t offset, const std::uint8_t* bytes, std::size_t size,
                     std::uint8_t* summary) const override
    {
        Blake3SubtreeCv(state_.value, bytes, size, offset / kBlake3ChunkSize, summary);
    }
    void TakeApart(const std::uint8_t* summary, std::size_t size) override
    {
        if (!TakesApart(size))
            throw std::logic_error("BLAKE3: a piece taken apart out of order");
        Blake3PushSubtree(state_.value, summary, size);
        summaryLast_ = true;
    }

    DigestBytes Finish() override
    {
        // The last summary taken would be read as the whole tree's top.
        if (summaryLast_)
            throw std::logic_error("BLAKE3: no bytes after the last piece taken apart");
        DigestBytes digest;
        Blake3Final(state_.value, digest.bytes.data());
        digest.size = kBlake3DigestSize;
        if (keyed_)
            Forget();
        return digest;
    }

private:
    bool keyed_;
    bool summaryLast_ = false;
    Wiped<Blake3State> state_;
};

template <class H>
std::unique_ptr<MessageDigest> StartStream(const std::string* key, std::size_t bytes)
{
    if (key != nullptr)
        return std::make_unique<KeyedStream<H>>(*key, bytes);
    return std::make_unique<PlainStream<H>>(bytes);
}

}  // namespace

std::unique_ptr<MessageDigest> StartSha3_224(const std::string* key, std::size_t)
{
    return StartStream<Sha3Hash>(key, 28);
}

std::unique_ptr<MessageDigest> StartSha3_256(const std::string* key, std::size_t)
{
    return StartStream<Sha3Hash>(key, 32);
}

std::unique_ptr<MessageDigest> StartSha3_384(const std::string* key, std::size_t)
{
    return StartStream<Sha3Hash>(key, 48);
}

std::unique_ptr<MessageDigest> StartSha3_512(const std::string* key, std::size_t)
{
    return StartStream<Sha3Hash>(key, 64);
}

std::unique_ptr<MessageDigest> StartBlake2b(const std::string* key, std::size_t digestBytes)
{
    return StartStream<Blake2bHash>(key, digestBytes == 0 ? kBlake2bMaxDigestSize : digestBytes);
}

std::unique_ptr<MessageDigest> StartBlake2s(const std::string* key, std::size_t)
{
    return StartStream<Blake2sHash>(key, kBlake2sMaxDigestSize);
}

std::unique_ptr<MessageDigest> StartBlake3(const std::string* key, std::size_t)
{
    return std::make_unique<Blake3Message>(key);
}

}  // namespace engine
