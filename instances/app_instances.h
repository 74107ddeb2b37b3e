#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "instances/file_mapping.h"
#include "instances/optex.h"
#include "platform/process/process_identity.h"
#include "platform/windows/message_window.h"

// The table of the running processes of one program file, shared by all of
// them: who runs, in order of arrival, notices about arrivals and
// departures, and bringing one of them to the front.

using TMessage = platform::WindowMessage;
using TWindowHandle = platform::WindowHandle;

// The kinds of notice (first parameter of the notice message).
constexpr int NoticeCreated = 1;
constexpr int NoticeDestroyed = 2;
constexpr int NoticeUser = 3;
constexpr int NoticeQueryActive = 4;
constexpr int NoticeActiveReply = 5;

constexpr int kInstanceTableEntries = 257;

static_assert(std::endian::native == std::endian::little, "the table is little-endian");

// The shared table, 1032 bytes: entries 0 to Used - 1 are valid, entry 0 is
// the longest-registered process. A value read from it is never trusted to
// stay in range: another process may have damaged it.
struct TInstanceTableData {
    std::uint16_t Limit;  // 0: not set yet; the first registration sets it
    std::uint16_t Used;
    std::uint32_t Pids[kInstanceTableEntries];
};
static_assert(sizeof(TInstanceTableData) == 1032);

// Beside the table and in step with it: when each listed process started,
// so that the entry of a process that died is told from a new process that
// was given the same id. Zero where it is not known.
struct TInstanceTableAges {
    struct Entry {
        std::uint64_t StartTime;
        std::uint64_t PidNamespace;
    };
    Entry Entries[kInstanceTableEntries];
};

// What both regions of the table start with, as the optex's region does: a
// region without it (another program's, another version's, or damaged) is
// never trusted.
struct TInstanceRegionHeader {
    std::uint32_t Magic;
    std::uint32_t Version;
    std::uint32_t Size;  // of the whole region, this header included
    std::uint32_t Reserved;
};

// The region base name + "_Map": the header, then the 1032-byte table.
struct TInstanceTableRegion {
    static constexpr std::uint32_t kMagic = 0x54494D56;  // "VMIT"
    static constexpr std::uint32_t kVersion = 1;
    TInstanceRegionHeader Header;
    TInstanceTableData Table;
};
static_assert(offsetof(TInstanceTableRegion, Table) == sizeof(TInstanceRegionHeader));

// The region base name + "_Age": the header, then the ages.
struct TInstanceAgesRegion {
    static constexpr std::uint32_t kMagic = 0x41494D56;  // "VMIA"
    static constexpr std::uint32_t kVersion = 1;
    TInstanceRegionHeader Header;
    TInstanceTableAges Ages;
};
static_assert(offsetof(TInstanceAgesRegion, Ages) == sizeof(TInstanceRegionHeader));

// "IPC" and the program file's path, upper-cased (ASCII letters only: the
// path is UTF-8 bytes), with every '/' made a '_'. Letters that were upper
// case already, '_' and '=' are escaped as "=XX" (two hex digits), so that
// different paths never share a name.
std::string InstanceBaseName(std::string_view executablePath);

class TAppInstances {
public:
    // Creates or opens the table of the program at `executablePath`. Raises
    // EFileMappingError, EFileMappingViewError, EEventError or ESystemError;
    // EFileMappingError also for a region that does not have the header of
    // this version's table.
    explicit TAppInstances(const std::string& executablePath);
    TAppInstances(const TAppInstances&) = delete;
    TAppInstances& operator=(const TAppInstances&) = delete;
    // Unregisters this process and tells the others.
    ~TAppInstances();

    // Adds this process; true if the table held fewer than Limit entries
    // before. A full table leaves the process unlisted and says nothing.
    bool RegisterInstance(std::uint16_t limit);
    void UnregisterInstance();

    // The listed processes that still run (the others are dropped first).
    int RunningCount();
    // As RunningCount, counting only this process and those registered
    // before it; 0 when this process is not listed.
    int RunningCountUpToSelf();
    // Entry `index`, or 0 past the valid entries.
    std::uint32_t ProcessIdAt(int index);
    bool IsListed(std::uint32_t processId);
    TWindowHandle ApplicationWindowAt(int index);

    // Tells every listed process: a post to its GUI thread and a
    // notification to each of that thread's top-level windows.
    void BroadcastNotice(int kind, std::intptr_t value);
    bool ActivateInstance(int index);

    std::uint32_t NoticeMessage() const noexcept { return noticeMessage_; }
    std::uint32_t OwnProcessId() const noexcept { return ownProcessId_; }
    const std::string& BaseName() const noexcept { return baseName_; }
    TOptex& Lock() noexcept { return *lock_; }

    // Ends the process with `exitCode` the ordinary way, so that the
    // end-of-program clean-up, this table's included, runs.
    [[noreturn]] static void EndThisInstance(int exitCode = 0);

private:
    class Held;

    template <class Region>
    Region* OpenRegion(std::unique_ptr<TSwapFileMapping>& mapping, const std::string& name, bool afresh);

    int UsedEntries() const noexcept;
    bool IsOwnEntry(int index) const noexcept;
    int OwnIndex() const noexcept;
    void Prune();

    std::uint32_t ownProcessId_;
    platform::ProcessIdentity ownIdentity_;
    std::string baseName_;
    std::unique_ptr<TSwapFileMapping> mapping_;
    TInstanceTableData* table_ = nullptr;
    std::unique_ptr<TSwapFileMapping> agesMapping_;
    TInstanceTableAges* ages_ = nullptr;
    std::uint32_t noticeMessage_ = 0;
    std::unique_ptr<TOptex> lock_;
};

// The process's table, created on the first call and freed at program end.
TAppInstances& InstanceTable();

// For tests: the program path the table is named after, instead of this
// process's own. Only before the first InstanceTable().
void SetInstanceTableProgramPath(std::string path);

// The application window (class "TApplication") of a process, or 0.
TWindowHandle LocateApplicationWindow(std::uint32_t processId);
// Restores `window` when minimised and brings it to the front.
bool ActivateWindow(TWindowHandle window);
bool ForceForeground(TWindowHandle window);
