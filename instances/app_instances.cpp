#include "instances/app_instances.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

#include "platform/base/ascii.h"
#include "platform/process/process.h"
#include "platform/windows/application_window.h"
#include "platform/windows/registered_messages.h"

namespace {

constexpr int kTableSpinLimit = 4000;
// A post that keeps failing is given up: the broadcast holds the lock.
constexpr int kPostAttempts = 20;
// A peer too busy to answer whether it is minimised still gets the request
// to come forward; it acts on it once it is free.
constexpr std::chrono::milliseconds kLateRequestWait{100};

std::string& ProgramPathOverride()
{
    static std::string path;
    return path;
}

bool SameProcess(const platform::ProcessIdentity& a, std::uint32_t pid, const TInstanceTableAges::Entry& age)
{
    return static_cast<std::uint32_t>(a.pid) == pid && (age.StartTime == 0 || age.StartTime == a.startTime);
}

// Whether the listed process still runs; only a certain "gone" drops it.
bool StillRuns(std::uint32_t pid, const TInstanceTableAges::Entry& age)
{
    if (pid == 0 || pid > 0x7FFFFFFFu)
        return false;
    if (age.StartTime != 0) {
        const platform::ProcessIdentity recorded{static_cast<std::int32_t>(pid), age.StartTime, age.PidNamespace};
        return platform::ProbeProcess(recorded) != platform::ProcessLiveness::Gone;
    }
    return !(::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH);
}

}  // namespace

// Holds the table lock for a scope, and releases it on every way out.
class TAppInstances::Held {
public:
    explicit Held(TOptex& lock) : lock_(lock) { lock_.Acquire(); }
    ~Held() { lock_.Release(); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

private:
    TOptex& lock_;
};

std::string InstanceBaseName(std::string_view executablePath)
{
    // Upper-casing would make /x/c1 and /x/C1 one name, and '_' for '/' would
    // make a_b and a/b one: a letter already in upper case, a '_' and the
    // escape '=' itself are written as '=' and two hex digits, so that two
    // paths never share a name.
    std::string name = "IPC";
    name.reserve(name.size() + executablePath.size());
    for (const char c : executablePath) {
        if ((c >= 'A' && c <= 'Z') || c == '_' || c == '=') {
            const auto byte = static_cast<std::uint8_t>(c);
            name += '=';
            platform::AppendHexBytes(name, &byte, 1, true);
        } else {
            name += c == '/' ? '_' : platform::AsciiToUpper(c);
        }
    }
    return name;
}

TAppInstances::TAppInstances(const std::string& executablePath)
    : ownProcessId_(static_cast<std::uint32_t>(::getpid())), ownIdentity_(platform::CurrentProcessIdentity()),
      baseName_(InstanceBaseName(executablePath))
{
    lock_ = std::make_unique<TOptex>(baseName_ + "_Otx", kTableSpinLimit);
    {
        const Held held(*lock_);
        auto* table = OpenRegion<TInstanceTableRegion>(mapping_, baseName_ + "_Map", false);
        table_ = &table->Table;
        // Ages that do not belong to this table's entries would be worse
        // than none: a new table starts without them.
        auto* ages = OpenRegion<TInstanceAgesRegion>(agesMapping_, baseName_ + "_Age", !mapping_->AlreadyExisted());
        ages_ = &ages->Ages;
    }
    try {
        noticeMessage_ = platform::RegisterWindowMessage(baseName_ + "_Msg");
    } catch (const std::system_error& error) {
        RaiseIfRefused(error);
        throw ESystemError("Failed to register window message", static_cast<std::uint32_t>(error.code().value()));
    }
}

// Maps one region of the table. A new one (or one to start afresh) is
// zero-filled and given its header; an existing one is used only when it has
// the header this version writes. Runs under the table lock, so no opener
// sees a region between its creation and its header.
template <class Region>
Region* TAppInstances::OpenRegion(std::unique_ptr<TSwapFileMapping>& mapping, const std::string& name, bool afresh)
{
    mapping = std::make_unique<TSwapFileMapping>(name, PageReadWrite, sizeof(Region));
    auto* region = static_cast<Region*>(mapping->MapView(FileMapAllAccess, sizeof(Region), 0).Memory());
    TInstanceRegionHeader& header = region->Header;
    if (!mapping->AlreadyExisted() || afresh) {
        std::memset(region, 0, sizeof(Region));
        header.Size = sizeof(Region);
        header.Version = Region::kVersion;
        header.Magic = Region::kMagic;
    } else if (header.Magic != Region::kMagic || header.Version != Region::kVersion || header.Size != sizeof(Region)) {
        throw EFileMappingError("The shared memory " + name +
                                    " holds no instance table of this version: it is damaged, or another version "
                                    "of the program is running. End every running copy of the program and start "
                                    "it again",
                                EPROTO);
    }
    return region;
}

TAppInstances::~TAppInstances()
{
    if (mapping_ && lock_) {
        try {
            UnregisterInstance();
        } catch (...) {
            // At the end of the program nobody is left to tell; the entry
            // is dropped by the next process that counts.
        }
    }
    agesMapping_.reset();
    mapping_.reset();
    lock_.reset();
}

int TAppInstances::UsedEntries() const noexcept
{
    return std::min<int>(table_->Used, kInstanceTableEntries);
}

bool TAppInstances::IsOwnEntry(int index) const noexcept
{
    return SameProcess(ownIdentity_, table_->Pids[index], ages_->Entries[index]);
}

int TAppInstances::OwnIndex() const noexcept
{
    const int used = UsedEntries();
    for (int i = 0; i < used; ++i)
        if (IsOwnEntry(i))
            return i;
    return -1;
}

void TAppInstances::Prune()
{
    const int used = UsedEntries();
    int kept = 0;
    for (int i = 0; i < used; ++i) {
        if (!IsOwnEntry(i) && !StillRuns(table_->Pids[i], ages_->Entries[i]))
            continue;
        table_->Pids[kept] = table_->Pids[i];
        ages_->Entries[kept] = ages_->Entries[i];
        ++kept;
    }
    table_->Used = static_cast<std::uint16_t>(kept);
}

bool TAppInstances::RegisterInstance(std::uint16_t limit)
{
    bool within = false;
    {
        const Held held(*lock_);
        Prune();
        if (table_->Limit == 0)
            table_->Limit = limit;
        const int used = UsedEntries();
        if (used >= kInstanceTableEntries)
            return false;
        within = used < table_->Limit;
        table_->Pids[used] = ownProcessId_;
        ages_->Entries[used] = {ownIdentity_.startTime, ownIdentity_.pidNamespace};
        table_->Used = static_cast<std::uint16_t>(used + 1);
    }
    if (within)
        BroadcastNotice(NoticeCreated, static_cast<std::intptr_t>(ownProcessId_));
    return within;
}

void TAppInstances::UnregisterInstance()
{
    {
        const Held held(*lock_);
        const int used = UsedEntries();
        const int own = OwnIndex();
        if (own >= 0) {
            for (int i = own; i + 1 < used; ++i) {
                table_->Pids[i] = table_->Pids[i + 1];
                ages_->Entries[i] = ages_->Entries[i + 1];
            }
            table_->Used = static_cast<std::uint16_t>(used - 1);
        }
    }
    BroadcastNotice(NoticeDestroyed, static_cast<std::intptr_t>(ownProcessId_));
}

int TAppInstances::RunningCount()
{
    const Held held(*lock_);
    Prune();
    return UsedEntries();
}

int TAppInstances::RunningCountUpToSelf()
{
    const Held held(*lock_);
    Prune();
    return OwnIndex() + 1;
}

std::uint32_t TAppInstances::ProcessIdAt(int index)
{
    const Held held(*lock_);
    return index >= 0 && index < UsedEntries() ? table_->Pids[index] : 0;
}

bool TAppInstances::IsListed(std::uint32_t processId)
{
    const Held held(*lock_);
    const int used = UsedEntries();
    return std::find(table_->Pids, table_->Pids + used, processId) != table_->Pids + used;
}

TWindowHandle TAppInstances::ApplicationWindowAt(int index)
{
    return LocateApplicationWindow(ProcessIdAt(index));
}

void TAppInstances::BroadcastNotice(int kind, std::intptr_t value)
{
    const Held held(*lock_);
    const int used = UsedEntries();
    for (int i = 0; i < used; ++i) {
        const TWindowHandle window = LocateApplicationWindow(table_->Pids[i]);
        if (window == 0)
            continue;
        const auto info = platform::FindWindowInfo(window);
        if (!info)
            continue;
        const platform::ThreadRef thread{info->process, info->thread};
        for (int attempt = 1; attempt <= kPostAttempts; ++attempt) {
            const platform::PostStatus status = platform::PostThreadMessage(thread, noticeMessage_, kind, value);
            if (status == platform::PostStatus::Posted || status == platform::PostStatus::InvalidThread)
                break;
            if (attempt < kPostAttempts)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        for (const platform::WindowInfo& target : platform::ThreadWindows(thread))
            platform::SendNotifyMessage(target.handle, noticeMessage_, kind, value);
    }
}

bool TAppInstances::ActivateInstance(int index)
{
    return ActivateWindow(ApplicationWindowAt(index));
}

void TAppInstances::EndThisInstance(int exitCode)
{
    std::exit(exitCode);
}

TAppInstances& InstanceTable()
{
    // Freed by the end-of-program clean-up, also after exit().
    static const std::unique_ptr<TAppInstances> table = std::make_unique<TAppInstances>(
        ProgramPathOverride().empty() ? platform::ExecutablePath() : ProgramPathOverride());
    return *table;
}

void SetInstanceTableProgramPath(std::string path)
{
    ProgramPathOverride() = std::move(path);
}

TWindowHandle LocateApplicationWindow(std::uint32_t processId)
{
    if (processId == 0 || processId > 0x7FFFFFFFu)
        return 0;
    for (const platform::WindowInfo& window : platform::ProcessWindows(static_cast<std::int32_t>(processId)))
        if (window.className == platform::kApplicationWindowClass)
            return window.handle;
    return 0;
}

bool ActivateWindow(TWindowHandle window)
{
    if (window == 0)
        return false;
    const platform::SendResult iconic = platform::QueryIconic(window);
    if (iconic.status == platform::SendStatus::TimedOut) {
        // Too busy to answer now; the request reaches it all the same.
        return platform::RequestBringToFront(window, kLateRequestWait).result != 0;
    }
    if (iconic.Answered() && iconic.result != 0)
        platform::SendMessageTimeout(window, platform::kWmSysCommand, platform::kScRestore, 0);
    return ForceForeground(window);
}

bool ForceForeground(TWindowHandle window)
{
    if (window == 0)
        return false;
    const platform::SendResult result = platform::RequestBringToFront(window);
    return result.Answered() && result.result != 0;
}
