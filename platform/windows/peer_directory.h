#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/unique_fd.h"

// Where the processes of one user find each other: <private dir>/peers holds
// for each process a record of its top-level windows (<pid>.rec) and the
// socket it listens on (<pid>.sock). An owner keeps a shared flock on its
// record for as long as it lives, so a record whose lock can be taken
// exclusively belongs to a process that is gone. Failures throw
// std::system_error carrying the errno value.
namespace platform {

using WindowHandle = std::uint64_t;

// A top-level window as other processes see it.
struct WindowInfo {
    WindowHandle handle = 0;
    std::string className;
    std::int32_t process = 0;
    std::int32_t thread = 0;
};

// The process a window handle belongs to: handles carry it in their high half.
constexpr std::int32_t HandleProcess(WindowHandle handle) noexcept
{
    return static_cast<std::int32_t>(handle >> 32);
}

// Creates the peers folder when missing (0700), checks that it is ours alone
// and opens it.
UniqueFd OpenPeerDirectory();

// The record's text, and back. Parsing refuses anything out of place.
std::string EncodeRecord(std::int32_t process, const std::vector<WindowInfo>& windows);
std::optional<std::vector<WindowInfo>> ParseRecord(std::string_view text, std::int32_t process);

// Replaces this process's record atomically and gives the descriptor that
// holds its shared lock: the caller keeps it while the record is valid.
UniqueFd WritePeerRecord(int peers, std::int32_t process, const std::vector<WindowInfo>& windows);

// The windows of a living peer; nothing when it has no record or its record
// is stale (which is then removed together with its socket).
std::optional<std::vector<WindowInfo>> ReadPeerRecord(int peers, std::int32_t process);

// The processes that have a record, stale or not, in ascending order.
std::vector<std::int32_t> ListPeerProcesses(int peers);

// Removes what processes that are gone left in the peers folder: stale
// records and their sockets, sockets without a record and temporary records
// of processes that no longer run. `self` is never touched. Best effort:
// whatever cannot be judged or removed stays.
void SweepStalePeers(int peers, std::int32_t self);

// Removes this process's own record and socket, when they are still its own.
void RemoveOwnPeerFiles(int peers, std::int32_t process, std::uint64_t socketInode);

std::string SocketFileName(std::int32_t process);

}  // namespace platform
