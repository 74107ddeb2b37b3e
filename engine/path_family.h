#pragma once

// How a family of routines is chosen among, written once: included only by
// the plain files that hold a family's table (digest_paths.cpp, sha3.cpp,
// blake2.cpp, blake3.cpp), never by a file built with an instruction set's
// flags. Each of them describes a family as its table,
//
//     template <>
//     constexpr PathEntry<Sha1Path> kPathRows<Sha1Path>[] = {
//         {Sha1Path::Portable, "portable", Sha1CompressPortable, &CpuFeatures::everywhere},
//         {Sha1Path::ShaNi, "SHA-NI", VELLUMARK_X86_ONLY(Sha1CompressShaNi), &CpuFeatures::shaNi},
//     };
//
// plus its known-vector check (ProvesItself), and compiles its PathChoice
// there: `template class PathChoice<Sha1Path>;`.

#include <atomic>
#include <cstddef>
#include <mutex>
#include <span>
#include <type_traits>

#include "engine/blake2.h"
#include "engine/blake3.h"
#include "engine/digest_paths.h"
#include "engine/path_choice.h"
#include "engine/sha3.h"

// A routine built only on x86-64; null elsewhere, where the CPU features its
// path needs are never found either.
#if defined(VELLUMARK_ENGINE_X86)
#define VELLUMARK_X86_ONLY(routine) routine
#else
#define VELLUMARK_X86_ONLY(routine) nullptr
#endif

namespace engine {

// What the CPU offers and the operating system keeps, probed once
// (digest_paths.cpp).
struct CpuFeatures {
    bool everywhere = true;     // what the portable paths need
    bool ymmRegisters = false;  // AVX, with the wide halves saved by the OS
    bool zmmRegisters = false;  // AVX-512 likewise
    bool shaNi = false;
    bool avx2Bmi2 = false;    // AVX2 with BMI2's rotations, and the wide registers kept
    bool avx512Bmi2 = false;  // the same with AVX-512F and VL, and the AVX-512 registers kept
    bool clmul = false;
    bool vpclmulAvx2 = false;
    bool vpclmulAvx512 = false;
    bool avx2 = false;      // with the wide registers saved
    bool avx512f = false;   // likewise
    bool avx512bw = false;  // and byte shuffles on the wide registers
};
const CpuFeatures& Cpu();

// One path of a family: a row of its table.
template <class Path>
struct PathEntry {
    Path path;
    const char* name;
    RoutineOf<Path> routine;   // null where this build has none
    bool CpuFeatures::*needs;  // what the CPU must offer for it
    std::size_t width = 1;     // messages side by side, for lane paths
};

// Each family's rows, one per path in the order of its enum (widest last),
// defined in the file that holds the family.
template <class Path>
extern const PathEntry<Path> kPathRows[];

// A family whose choice was made, so that UseChosenPaths can go back to it.
struct ChosenFamily {
    void (*useChosen)();
    ChosenFamily* next;
};
// Adds the family to those UseChosenPaths resets (digest_paths.cpp).
void RegisterChosen(ChosenFamily& family);

namespace path_family {

// Whether this build has the routine: for BLAKE3, both of its routines.
template <class Routine>
bool Built(const Routine& routine)
{
    if constexpr (std::is_pointer_v<Routine>)
        return routine != nullptr;
    else
        return routine.compress != nullptr && routine.many != nullptr;
}

// The family's known-vector check, lane routines at the path's width.
template <class Routine>
bool Proves(const Routine& routine, std::size_t width)
{
    if constexpr (requires { ProvesItself(routine, width); })
        return ProvesItself(routine, width);
    else
        return ProvesItself(routine);
}

template <class Path>
consteval bool RowsFollowThePaths()
{
    constexpr auto& rows = kPathRows<Path>;
    constexpr std::span<const Path> paths = RoutineFamily<Path>::kPaths;
    if (std::size(rows) != paths.size())
        return false;
    for (std::size_t i = 0; i < paths.size(); ++i)
        if (rows[i].path != paths[i] || static_cast<std::size_t>(paths[i]) != i)
            return false;
    return true;
}

template <class Path>
const PathEntry<Path>* Row(Path path)
{
    static_assert(RowsFollowThePaths<Path>(), "a family's rows are its paths, in the order of its enum");
    constexpr auto& rows = kPathRows<Path>;
    const auto i = static_cast<std::size_t>(path);
    return i < std::size(rows) ? &rows[i] : nullptr;
}

// The choice's state: the row in use (null until the first use), the one
// chosen, made once.
template <class Path>
struct State {
    std::atomic<const PathEntry<Path>*> inUse{nullptr};
    const PathEntry<Path>* chosen = nullptr;
    std::once_flag once;
    ChosenFamily registered{nullptr, nullptr};
};

template <class Path>
constinit State<Path> state;

template <class Path>
void UseChosen()
{
    state<Path>.inUse.store(state<Path>.chosen, std::memory_order_release);
}

template <class Path>
void Choose()
{
    State<Path>& s = state<Path>;
    s.chosen = Row(
        PathChoice<Path>::ChooseAmong(RoutineFamily<Path>::kPaths, PathChoice<Path>::Runs, PathChoice<Path>::Function));
    s.inUse.store(s.chosen, std::memory_order_release);
    s.registered.useChosen = UseChosen<Path>;
    RegisterChosen(s.registered);
}

// The first use: out of line, so that every later one is the load alone.
template <class Path>
[[gnu::noinline, gnu::cold]] const PathEntry<Path>* ChooseAtFirstUse()
{
    std::call_once(state<Path>.once, Choose<Path>);
    return state<Path>.inUse.load(std::memory_order_acquire);
}

// The row in use, chosen at the first call.
template <class Path>
const PathEntry<Path>* InUse()
{
    if (const PathEntry<Path>* row = state<Path>.inUse.load(std::memory_order_acquire))
        return row;
    return ChooseAtFirstUse<Path>();
}

}  // namespace path_family

template <ChoosablePath Path>
const char* PathChoice<Path>::Name(Path path)
{
    const PathEntry<Path>* row = path_family::Row(path);
    return row != nullptr ? row->name : "?";
}

template <ChoosablePath Path>
auto PathChoice<Path>::Function(Path path) -> Routine
{
    const PathEntry<Path>* row = path_family::Row(path);
    return row != nullptr ? row->routine : Routine{};
}

template <ChoosablePath Path>
std::size_t PathChoice<Path>::Width(Path path)
{
    const PathEntry<Path>* row = path_family::Row(path);
    return row != nullptr ? row->width : 1;
}

template <ChoosablePath Path>
bool PathChoice<Path>::Runs(Path path)
{
    const PathEntry<Path>* row = path_family::Row(path);
    return row != nullptr && path_family::Built(row->routine) && Cpu().*(row->needs);
}

// The widest path that runs here and proves itself. The first, portable,
// one is the reference and is taken when nothing else qualifies.
template <ChoosablePath Path>
Path PathChoice<Path>::ChooseAmong(std::span<const Path> paths, bool (*runs)(Path), Routine (*function)(Path))
{
    for (std::size_t i = paths.size(); i-- > 1;)
        if (runs(paths[i]) && path_family::Proves(function(paths[i]), Width(paths[i])))
            return paths[i];
    return paths.front();
}

template <ChoosablePath Path>
Path PathChoice<Path>::Chosen()
{
    std::call_once(path_family::state<Path>.once, path_family::Choose<Path>);
    return path_family::state<Path>.chosen->path;
}

template <ChoosablePath Path>
Path PathChoice<Path>::InUse()
{
    return path_family::InUse<Path>()->path;
}

template <ChoosablePath Path>
auto PathChoice<Path>::RoutineInUse() -> Routine
{
    return path_family::InUse<Path>()->routine;
}

template <ChoosablePath Path>
bool PathChoice<Path>::Force(Path path)
{
    if (!Runs(path))
        return false;
    std::call_once(path_family::state<Path>.once, path_family::Choose<Path>);
    path_family::state<Path>.inUse.store(path_family::Row(path), std::memory_order_release);
    return true;
}

}  // namespace engine
