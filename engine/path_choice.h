#pragma once

// The choice among a family's paths, for the engine's sources, its tests and
// its benchmark: the same functions for every family (SHA-1's block
// functions, CRC-32's routines, MD5's lanes, SHA-3's, BLAKE2's, BLAKE3's,
// ...), each over the family's path enum.
//
// Files built with an instruction set's flags never include this header:
// its functions are templates, and one of them instantiated there could be
// the copy the linker keeps (see digest_paths.h). The functions here only
// forward to PathChoice, whose members are compiled once per family, in the
// plain file that holds the family's table (path_family.h).

#include <cstddef>
#include <span>
#include <type_traits>

#include "engine/digest_paths.h"

namespace engine {

// A path enum whose family declares its routine type (RoutineFamily).
template <class Path>
concept ChoosablePath = requires
{
    typename RoutineFamily<Path>::Routine;
};

template <ChoosablePath Path>
using RoutineOf = typename RoutineFamily<Path>::Routine;

// One family's choice, written once for all of them. The automatic choice
// is made once, at the first use of the family, and kept for the life of the
// process; the routine in use is one acquire load away after that.
template <ChoosablePath Path>
class PathChoice {
public:
    using Routine = RoutineOf<Path>;

    static const char* Name(Path path);
    static Routine Function(Path path);
    static std::size_t Width(Path path);
    static bool Runs(Path path);
    static Path ChooseAmong(std::span<const Path> paths, bool (*runs)(Path), Routine (*function)(Path));
    static Path Chosen();
    static Path InUse();
    static Routine RoutineInUse();
    static bool Force(Path path);
};

// The path's name, as the benchmark and the lane objects give it ("?" for a
// value that names no path).
template <ChoosablePath Path>
const char* PathName(Path path)
{
    return PathChoice<Path>::Name(path);
}

// The routine of a path, or null where this build has none.
template <ChoosablePath Path>
RoutineOf<Path> PathFunction(Path path)
{
    return PathChoice<Path>::Function(path);
}

// How many messages a lane path takes side by side. The first routine of
// each lane family takes any number, but one by one, so lanes gain nothing
// there: its width is 1, and a caller then digests one message at a time.
// 1 for the paths of one message.
template <ChoosablePath Path>
std::size_t LaneWidth(Path path)
{
    return PathChoice<Path>::Width(path);
}

// The CPU and the operating system can run the path (the first, portable,
// one always), and this build has its routine.
template <ChoosablePath Path>
bool CpuRuns(Path path)
{
    return PathChoice<Path>::Runs(path);
}

// The choice itself, for tests: the widest of `paths` (widest last) that
// `runs` and whose routine proves itself (ProvesItself, lane routines at the
// path's width); the first one otherwise. The automatic choice is this over
// every path of the family, with CpuRuns and PathFunction.
template <ChoosablePath Path, std::size_t kCount>
Path ChooseAmong(const Path (&paths)[kCount], std::type_identity_t<bool (*)(Path)> runs,
                 std::type_identity_t<RoutineOf<Path> (*)(Path)> function)
{
    return PathChoice<Path>::ChooseAmong(paths, runs, function);
}

// What the automatic choice took.
template <ChoosablePath Path>
Path ChosenPath()
{
    return PathChoice<Path>::Chosen();
}

// The path in use: the chosen one, or the one forced. Lane objects take it
// when they are made and keep it.
template <ChoosablePath Path>
Path PathInUse()
{
    return PathChoice<Path>::InUse();
}

// The routine of the path in use, which every computation of the family
// fetches once per call.
template <ChoosablePath Path>
RoutineOf<Path> RoutineInUse()
{
    return PathChoice<Path>::RoutineInUse();
}

// Test seam, for tests and the benchmark only: every later computation of
// the process takes this path (lane objects: those made later). Nothing
// changes and false is returned when the CPU cannot run it. Not safe while
// other threads compute.
template <ChoosablePath Path>
bool ForcePath(Path path)
{
    return PathChoice<Path>::Force(path);
}

// Every family back to its automatic choice.
void UseChosenPaths();

}  // namespace engine
