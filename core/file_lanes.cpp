#include "core/file_lanes.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>

#include <string.h>

#include "core/file_digests.h"
#include "core/held_still.h"
#include "engine/lane_digests.h"
#include "platform/files/fingerprint.h"

namespace {

// A file of more than one window is read a window at a time: each lane then
// holds at most a window of the caller's bytes. Windows of 256 and 128 KiB,
// whose lanes' bytes would stay in the core's cache, ran no faster on files
// of 10 MiB.
constexpr std::size_t kLaneWindow = kFileWindowSize;

// What a lane object with every lane at work costs, in digests of one
// message of the same length: its width over its speed-up, the speed-ups as
// engine_bench's lane summary measured them (messages of 1 MiB, one per
// lane, against the one-message digest): MD5, SHA-1, SHA-256 and SHA-512 on
// a 3.3 GHz Intel Xeon with AVX-512, SHA-3 and BLAKE2 on an AMD Zen 5, in
// December 2026. They move between kinds of processor (16 MD5 lanes gave
// 11.3x on the Xeon and 5.7x on the Zen 5), but the choice they make, which
// files go alone, moves little with them. SHA-224 and SHA-384 run in
// SHA-256's and SHA-512's lanes.
double FullVectorCost(Algorithm algorithm, std::size_t width)
{
    struct Measured {
        Algorithm algorithm;
        std::size_t width;
        double speedUp;
    };
    constexpr Measured kMeasured[] = {
        {Algorithm::Md5, 16, 11.3},    {Algorithm::Md5, 8, 4.4},      {Algorithm::Sha1, 16, 4.2},
        {Algorithm::Sha1, 8, 1.5},     {Algorithm::Sha224, 16, 2.6},  {Algorithm::Sha256, 16, 2.6},
        {Algorithm::Sha384, 8, 3.6},   {Algorithm::Sha512, 8, 3.6},   {Algorithm::Sha3_224, 8, 6.0},
        {Algorithm::Sha3_256, 8, 6.0}, {Algorithm::Sha3_384, 8, 6.0}, {Algorithm::Sha3_512, 8, 6.0},
        {Algorithm::Blake2b, 8, 3.6},  {Algorithm::Blake2b, 4, 1.2},  {Algorithm::Blake2s, 16, 6.1},
        {Algorithm::Blake2s, 8, 2.6}};
    for (const Measured& m : kMeasured)
        if (m.algorithm == algorithm && m.width == width)
            return static_cast<double>(width) / m.speedUp;
    return 2.0;  // a path not measured: as if it ran twice as wide as fast
}

std::unique_ptr<unsigned char[]> Allocate(std::size_t size)
{
    std::unique_ptr<unsigned char[]> bytes(new (std::nothrow) unsigned char[size]);
    if (!bytes)
        throw platform::ENoMemoryError();
    return bytes;
}

// A buffer that grows to the size asked for and keeps it.
unsigned char* Grown(std::unique_ptr<unsigned char[]>& bytes, std::size_t& capacity, std::size_t size)
{
    if (capacity < size) {
        bytes.reset();
        capacity = 0;
        bytes = Allocate(size);
        capacity = size;
    }
    return bytes.get();
}

}  // namespace

// The lanes of one digest: as many lane objects as the places need, place p
// in lane p mod the width of object p / the width.
class FileLanes::Bank {
public:
    explicit Bank(const AlgorithmRow& row) : row_(row)
    {
        objects_.push_back(row.lanes());
        reports_.emplace_back();
        width_ = objects_.front()->Width();
    }

    std::size_t Width() const noexcept { return width_; }

    void Grow(std::size_t places)
    {
        const std::size_t count = (places + width_ - 1) / width_;
        while (objects_.size() < count) {
            objects_.push_back(row_.lanes());
            reports_.emplace_back();
        }
    }

    bool TakesKeys() const noexcept { return objects_.front()->TakesKeys(); }
    void Start(std::size_t place, const std::string* key, std::size_t digestBytes)
    {
        Of(place).Start(Lane(place), key, digestBytes);
    }
    void Feed(std::size_t place, const std::uint8_t* bytes, std::size_t size)
    {
        Of(place).Feed(Lane(place), bytes, size);
    }
    void End(std::size_t place) { Of(place).End(Lane(place)); }
    void Abandon(std::size_t place) { Of(place).Abandon(Lane(place)); }
    void Take(std::size_t place, engine::DigestResults& results)
    {
        results.Set(row_.algorithm, Of(place).TakeDigest(Lane(place)));
    }

    // Steps each object that has blocks to digest, once.
    void Step()
    {
        for (std::size_t i = 0; i < objects_.size(); ++i) {
            reports_[i] = objects_[i]->Report();
            if (reports_[i].working != 0)
                reports_[i] = objects_[i]->Step();
        }
    }

    // The lanes as they stand, for Hungry and Done.
    void Look()
    {
        for (std::size_t i = 0; i < objects_.size(); ++i)
            reports_[i] = objects_[i]->Report();
    }

    bool Hungry(std::size_t place) const noexcept { return Bit(reports_[place / width_].hungry, place); }
    bool Done(std::size_t place) const noexcept { return Bit(reports_[place / width_].done, place); }

private:
    engine::DigestLanes& Of(std::size_t place) { return *objects_[place / width_]; }
    std::size_t Lane(std::size_t place) const noexcept { return place % width_; }
    bool Bit(engine::LaneMask mask, std::size_t place) const noexcept { return ((mask >> Lane(place)) & 1) != 0; }

    const AlgorithmRow& row_;
    std::vector<std::unique_ptr<engine::DigestLanes>> objects_;
    std::vector<engine::LaneReport> reports_;
    std::size_t width_ = 1;
};

namespace {

// How many lanes the algorithm's lane objects have here; 1 for none.
std::size_t LaneWidth(const AlgorithmRow& row)
{
    return row.lanes != nullptr ? row.lanes()->Width() : 1;
}

}  // namespace

// A file in flight, in place p: lane p of each of its digests' banks.
struct FileLanes::Place {
    bool busy = false;
    std::uint64_t tag = 0;
    std::optional<platform::SharedReadFile> file;
    AlgorithmSet lanes;                           // the digests it has in lanes
    std::unique_ptr<engine::WindowDigests> side;  // the others, and CRC-32
    std::unique_ptr<unsigned char[]> buffer;
    std::size_t capacity = 0;
    bool whole = false;      // read in one go, its bytes kept for the second read
    bool readTwice = false;  // no lease: read again once the digests are known
    bool fed = false;        // bytes have gone to the lanes: the next read waits until they are taken in
    bool readDone = false;   // the content is read to its end
    std::size_t request = 0;
    std::uint64_t length = 0;  // of the content read so far
    std::uint64_t window = 0;  // windows read
    std::vector<std::uint64_t> fingerprints;
    engine::DigestResults results;
    std::exception_ptr failure;
};

FileLanes::FileLanes(const engine::WindowDigestChoice& possible, RunControl& control, FileLaneOptions options)
    : control_(control), options_(std::move(options)), banks_(kAlgorithmCount),
      fingerprint_(std::make_unique<platform::WindowFingerprint>())
{
    std::size_t places = 1;
    for (const Algorithm algorithm : possible.algorithms) {
        const AlgorithmRow& row = RowOf(algorithm);
        if (row.lanes != nullptr) {
            banks_[IndexOf(algorithm)] = std::make_unique<Bank>(row);
            places = std::max(places, banks_[IndexOf(algorithm)]->Width());
        }
    }
    places_.resize(places);
    for (const auto& bank : banks_)
        if (bank)
            bank->Grow(places);
}

FileLanes::~FileLanes() = default;

bool FileLanes::Worthwhile(const engine::WindowDigestChoice& possible)
{
    for (const Algorithm algorithm : possible.algorithms)
        if (LaneWidth(RowOf(algorithm)) > 1)
            return true;
    return false;
}

bool FileLanes::Alone(const engine::WindowDigestChoice& ticks, std::uint64_t weight, std::uint64_t beside,
                      std::uint64_t share) const
{
    if (weight <= kFileWindowSize)
        return false;
    // In the lanes the file keeps the vector unit at work for its whole
    // length, but shares it with the heaviest file beside it and with what
    // the other lanes take on meanwhile; alone, it costs its length, and the
    // rest takes what it takes in the lanes.
    double cost = 1.0;
    for (const Algorithm algorithm : ticks.algorithms) {
        const auto& bank = banks_[IndexOf(algorithm)];
        const std::size_t width = bank ? bank->Width() : LaneWidth(RowOf(algorithm));
        if (width > 1)
            cost = std::max(cost, FullVectorCost(algorithm, width));
    }
    const double company =
        std::max(static_cast<double>(beside), static_cast<double>(share) / static_cast<double>(places_.size()));
    return (cost - 1.0) * static_cast<double>(weight) > cost * company;
}

std::size_t FileLanes::Room() const noexcept
{
    return static_cast<std::size_t>(
        std::count_if(places_.begin(), places_.end(), [](const Place& f) { return !f.busy; }));
}

bool FileLanes::Empty() const noexcept
{
    return Room() == places_.size();
}

std::uint64_t FileLanes::WeightLeft() const noexcept
{
    std::uint64_t most = 0;
    for (const Place& f : places_)
        if (f.busy && f.file->Size() > f.length)
            most = std::max(most, f.file->Size() - f.length);
    return most;
}

void FileLanes::Add(std::uint64_t tag, platform::SharedReadFile&& file, const engine::WindowDigestChoice& ticks,
                    const std::string& key, const std::string& blake3Key)
{
    const auto free = std::find_if(places_.begin(), places_.end(), [](const Place& f) { return !f.busy; });
    if (free == places_.end())
        throw std::logic_error("file lanes: no room for another file");
    const std::size_t p = static_cast<std::size_t>(free - places_.begin());
    Place& f = *free;
    f.tag = tag;
    f.file.emplace(std::move(file));
    f.whole = f.file->CanReadAgain() && f.file->Size() <= kFileWindowSize;
    f.readTwice = !f.file->HoldsLease() && f.file->CanReadAgain();
    f.fed = false;
    f.readDone = false;
    f.length = 0;
    f.window = 0;
    f.fingerprints.clear();
    f.results = {};
    f.failure = nullptr;
    f.lanes = {};
    f.busy = true;
    try {
        // The side digests hold copies of their keys of their own, which
        // they wipe: these copies go however this is left.
        struct Side {
            engine::WindowDigestChoice choice;
            ~Side() { choice.WipeKeys(); }
        } side;
        side.choice.hmac = ticks.hmac;
        side.choice.blake2bBytes = ticks.blake2bBytes;
        for (const Algorithm algorithm : ticks.algorithms) {
            const AlgorithmRow& row = RowOf(algorithm);
            auto& bank = banks_[IndexOf(algorithm)];
            if (!bank && row.lanes != nullptr) {
                bank = std::make_unique<Bank>(row);
                bank->Grow(places_.size());
            }
            const std::string* rowKey = engine::KeyFor(row, ticks.hmac, key, blake3Key);
            if (bank && bank->Width() > 1 && (rowKey == nullptr || bank->TakesKeys())) {
                bank->Start(p, rowKey, ticks.blake2bBytes);
                f.lanes.Add(algorithm);
                continue;
            }
            side.choice.algorithms.Add(algorithm);
            if (rowKey == &key)
                side.choice.key = key;
            else if (rowKey == &blake3Key)
                side.choice.blake3Key = blake3Key;
        }
        const bool sideDigests = !side.choice.algorithms.Empty();
        f.side = sideDigests ? std::make_unique<engine::WindowDigests>(side.choice) : nullptr;
        if (f.lanes.Empty() && !sideDigests) {
            // Nothing to read the file for.
            f.readDone = true;
            f.readTwice = false;
        }
    } catch (...) {
        for (const Algorithm algorithm : f.lanes)
            banks_[IndexOf(algorithm)]->Abandon(p);
        f.side.reset();
        f.file.reset();
        f.busy = false;
        throw;
    }
}

void FileLanes::Look()
{
    for (const auto& bank : banks_)
        if (bank)
            bank->Look();
}

bool FileLanes::AllLanes(const Place& f, bool done) const
{
    const auto p = static_cast<std::size_t>(&f - places_.data());
    for (const Algorithm algorithm : f.lanes) {
        const Bank& bank = *banks_[IndexOf(algorithm)];
        if (!(done ? bank.Done(p) : bank.Hungry(p)))
            return false;
    }
    return true;
}

void FileLanes::Advance(std::vector<Ended>& ended)
{
    ended.clear();
    for (;;) {
        const bool cancelled = control_.Cancelled();
        Look();
        bool any = false;
        for (std::size_t p = 0; p < places_.size(); ++p) {
            Place& f = places_[p];
            if (!f.busy)
                continue;
            any = true;
            try {
                if (cancelled)
                    throw ERunCancelled();
                if (!f.readDone) {
                    if (!f.fed || AllLanes(f, false))
                        ReadNext(p);
                } else if (AllLanes(f, true)) {
                    Finish(p);
                    End(p, ended);
                }
            } catch (...) {
                f.failure = std::current_exception();
                for (const Algorithm algorithm : f.lanes)
                    banks_[IndexOf(algorithm)]->Abandon(p);
                f.lanes = {};
                End(p, ended);
            }
        }
        if (!ended.empty() || !any)
            return;
        for (const auto& bank : banks_)
            if (bank)
                bank->Step();
    }
}

// The file's next window into its buffer, and on to its digests. A file of
// one window is read whole, with a byte to spare that tells whether it grew:
// then it is read in windows from the start after all.
void FileLanes::ReadNext(std::size_t place)
{
    Place& f = places_[place];
    const platform::SharedReadFile& file = *f.file;
    if (f.whole && f.window == 0) {
        f.request = OneWindowRequest(file.Size());
        unsigned char* bytes = Grown(f.buffer, f.capacity, f.request);
        const std::size_t size = file.ReadAt(0, bytes, f.request);
        if (size < f.request) {
            f.length = size;
            TakeIn(place, size, true);
            return;
        }
        f.whole = false;
    }
    unsigned char* bytes = Grown(f.buffer, f.capacity, kLaneWindow);
    const std::size_t size = file.ReadAt(f.length, bytes, kLaneWindow);
    f.length += size;
    if (f.readTwice)
        f.fingerprints.push_back(fingerprint_->Of(bytes, size));
    TakeIn(place, size, size < kLaneWindow);
}

// What was just read goes to the digests, once the lease is known to have
// kept writers out while it was read.
void FileLanes::TakeIn(std::size_t place, std::size_t size, bool last)
{
    Place& f = places_[place];
    platform::SharedReadFile& file = *f.file;
    if (file.HoldsLease() && !file.LeaseStillHeld())
        file.ThrowChanged();
    if (options_.afterRead)
        options_.afterRead(f.tag, f.window);
    ++f.window;
    control_.AddDone(size);
    const unsigned char* bytes = f.buffer.get();
    if (f.side) {
        for (std::size_t d = 0; d < f.side->Count(); ++d)
            f.side->Feed(d, bytes, size);
    }
    for (const Algorithm algorithm : f.lanes) {
        Bank& bank = *banks_[IndexOf(algorithm)];
        bank.Feed(place, bytes, size);
        if (last)
            bank.End(place);
    }
    f.fed = true;
    f.readDone = last;
}

// Every digest is known: they are handed out only for a file that held
// still while it was read.
void FileLanes::Finish(std::size_t place)
{
    Place& f = places_[place];
    platform::SharedReadFile& file = *f.file;
    engine::DigestResults results = f.side ? f.side->Finish() : engine::DigestResults{};
    for (const Algorithm algorithm : f.lanes)
        banks_[IndexOf(algorithm)]->Take(place, results);
    f.lanes = {};
    ConfirmHeldStill(file, f.readTwice, [&] {
        if (options_.beforeSecondRead)
            options_.beforeSecondRead(f.tag);
        ReadAgainAndCompare(f);
    });
    if (control_.Cancelled())
        throw ERunCancelled();
    f.results = results;
}

// The second read of a file without a lease: a file of one window must give
// back the bytes it kept, a larger one every window's fingerprint, and the
// content must end where it ended.
void FileLanes::ReadAgainAndCompare(Place& f)
{
    if (f.whole)
        ReadAgainWhole(*f.file, f.buffer.get(), f.length, f.request, Grown(again_, againSize_, f.request), control_);
    else
        ReadAgainByWindows(*f.file, *fingerprint_, f.fingerprints, f.length, f.buffer.get(), kLaneWindow, control_);
}

void FileLanes::End(std::size_t place, std::vector<Ended>& ended)
{
    Place& f = places_[place];
    Ended done;
    done.tag = f.tag;
    done.failure = f.failure;
    if (!f.failure)
        done.results = f.results;
    f.file.reset();
    f.side.reset();
    f.failure = nullptr;
    f.results = {};
    f.busy = false;
    ended.push_back(std::move(done));
}
