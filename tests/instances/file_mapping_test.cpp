#include "instances/file_mapping.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <numeric>
#include <optional>
#include <sstream>

#include "instances/optex.h"
#include "ipc_test_support.h"
#include "platform/ipc/private_dir.h"

namespace {

using namespace ipc_test;

TEST(RegionTest, ProcessesShareTheBytesAndTheRegionIsNewOnceAllAreKilled)
{
    const std::string name = UniqueName("shared");
    Helper a({"region", name, "1032", "0", "90"});
    ASSERT_EQ(a.ReadLine(), "existed 0 sum 90");
    Helper b({"region", name, "1032", "1031", "7"});
    EXPECT_EQ(b.ReadLine(), "existed 1 sum 97");  // a's byte and its own
    a.Kill();
    EXPECT_TRUE(TSwapFileMapping(name, PageReadWrite, 1032).AlreadyExisted());  // b alone keeps it
    b.Kill();
    TSwapFileMapping fresh(name, PageReadWrite, 1032);
    EXPECT_FALSE(fresh.AlreadyExisted());
    const auto* bytes = static_cast<const unsigned char*>(fresh.MapView(FileMapRead, 1032, 0).Memory());
    EXPECT_EQ(std::accumulate(bytes, bytes + 1032, 0u), 0u);
}

TEST(RegionTest, EveryFailureRaisesItsOwnErrorWithTheSystemLine)
{
    const auto region = [](const std::string& name) { TSwapFileMapping mapping(name, PageReadWrite, 16); };
    const auto optex = [](const std::string& name) { TOptex lock(name, -1); };
    const auto readOnly = [](const std::string& name) {
        TSwapFileMapping(name, PageReadOnly, 8).MapView(FileMapWrite, 8, 0);
    };
    struct Case {
        const char* blocked;  // the object whose file is made a directory first
        std::function<void(const std::string&)> create;
        const char* className;
        const char* message;
    };
    const Case cases[] = {
        {"", region, "EFileMappingError", "Failed to create FileMapping\r\nWin32: Is a directory (21)"},
        {"Optex_MMF_", optex, "EOptexStateError", "Failed to create optex state\r\nWin32: Is a directory (21)"},
        {"Optex_Event_", optex, "EEventError", "Failed to create event\r\nWin32: Is a directory (21)"},
        {nullptr, readOnly, "EFileMappingViewError",
         "Failed to create FileMappingView\r\nWin32: Permission denied (13)"},
    };
    region(UniqueName("dir"));  // the private directory exists from here on
    for (const Case& c : cases) {
        const std::string name = UniqueName("broken");
        if (c.blocked != nullptr) {
            const std::string file = platform::ObjectFileName(c.blocked + name, ".shm");
            ASSERT_EQ(::mkdir((PrivateDir() + "/" + file).c_str(), 0700), 0);
        }
        try {
            c.create(name);
            ADD_FAILURE() << c.className << " not raised";
        } catch (const ESystemError& error) {
            EXPECT_STREQ(error.ClassName(), c.className);
            EXPECT_EQ(error.Message(), c.message);
        }
    }
}

TEST(RegionTest, NamesWithSlashesNulOrOverlongStayApartAndLegal)
{
    const std::string base = UniqueName("names"), longName = base + std::string(600, 'L');
    const std::vector<std::string> names{base,           base + "/a",           base + "_a",
                                         base + "%2Fa",  base + "~a",           longName + "1",
                                         longName + "2", std::string(300, '/'), base + std::string("\0a", 2)};
    std::vector<std::unique_ptr<TSwapFileMapping>> open;
    for (const std::string& name : names) {
        const std::string file = platform::ObjectFileName(name, ".shm");
        EXPECT_LE(file.size(), static_cast<std::size_t>(NAME_MAX));
        EXPECT_EQ(file.find_first_of(std::string("/\0", 2)), std::string::npos) << file;
        open.push_back(std::make_unique<TSwapFileMapping>(name, PageReadWrite, 16));
        EXPECT_FALSE(open.back()->AlreadyExisted()) << file;
    }
    for (const std::string& name : names)
        EXPECT_TRUE(TSwapFileMapping(name, PageReadWrite, 16).AlreadyExisted()) << name.size();
}

TEST(RegionTest, PrivateDirectoryIsRefusedUnlessItIsOursAlone)
{
    {
        TSwapFileMapping ours(UniqueName("dir"), PageReadWrite, 16);
    }
    struct stat st {};
    ASSERT_EQ(::lstat(PrivateDir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);  // as the product made it

    // Each case lays out the directory in a runtime directory of its own.
    const uid_t me = ::getuid();
    struct Case {
        const char* what;
        mode_t mode;  // 0: a symlink to our real directory
        uid_t owner;
        int error;
    };
    const Case cases[] = {{"ours", 0700, me, 0},
                          {"group bits", 0750, me, EACCES},
                          {"other bits", 0701, me, EACCES},
                          {"a symlink", 0, me, ELOOP},
                          {"another owner", 0700, 65534, EACCES}};
    // What the refusal says: the folder, its mode and what to do.
    const auto advice = [](const Case& c, const std::string& dir) -> std::string {
        const std::string folder = "The private folder " + dir;
        switch (c.error) {
        case ELOOP:
            return folder + " is a symbolic link (mode 0777), not a folder: remove it";
        case EACCES:
            return c.owner != ::getuid()
                       ? folder + " (mode 0700) belongs to another user: remove it"
                       : folder + " has mode 0" + std::to_string(c.mode / 64) + std::to_string(c.mode / 8 % 8) +
                             std::to_string(c.mode % 8) + ", open to other users: remove it, or make it mode 0700";
        default:
            return "";
        }
    };
    const std::string runtime = UseTestRuntimeDir();
    for (const Case& c : cases) {
        if (c.owner != me && me != 0)
            continue;  // only root can give a directory away
        const std::string base = runtime + "/" + UniqueName("case"), dir = base + "/vellumark";
        const char* path = dir.c_str();
        ASSERT_EQ(::mkdir(base.c_str(), 0755), 0);
        ASSERT_TRUE(c.mode == 0 ? !::symlink(PrivateDir().c_str(), path)
                                : !::mkdir(path, 0) && !::chmod(path, c.mode) && !::chown(path, c.owner, -1))
            << c.what;
        ::setenv("XDG_RUNTIME_DIR", base.c_str(), 1);
        std::uint32_t error = 0;
        try {
            TSwapFileMapping mapping(UniqueName("dir"), PageReadWrite, 16);
        } catch (const ESystemError& raised) {
            error = raised.ErrorCode();
            // The program's system failure, in words that say what to do.
            EXPECT_STREQ(raised.ClassName(), "ESystemError") << c.what;
            EXPECT_EQ(raised.Message(),
                      advice(c, dir) + "\r\nWin32: " + std::strerror(c.error) + " (" + std::to_string(c.error) + ")")
                << c.what;
        }
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        EXPECT_EQ(error, static_cast<std::uint32_t>(c.error)) << c.what;
    }
}

// An environment variable set for one scope, then put back as it was.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : name_(name)
    {
        if (const char* old = std::getenv(name))
            old_ = old;
        Set(value);
    }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;
    ~ScopedVariable() { Set(old_ ? old_->c_str() : nullptr); }

private:
    void Set(const char* value) const
    {
        if (value != nullptr)
            ::setenv(name_, value, 1);
        else
            ::unsetenv(name_);
    }
    const char* name_;
    std::optional<std::string> old_;
};

TEST(RegionTest, WithoutARuntimeDirectoryTheObjectsLiveInTheHomeNotInASharedDirectory)
{
    // No other user can create a name in our home before us, as anyone can
    // in /dev/shm.
    const std::string base = UseTestRuntimeDir() + "/" + UniqueName("home");
    ASSERT_EQ(::mkdir(base.c_str(), 0755), 0);
    struct Case {
        const char* state;  // XDG_STATE_HOME, under `base` when absolute
        const char* home;   // HOME, under `base`
        const char* expected;
    };
    const Case cases[] = {
        {"/state/missing", "/home1", "/state/missing/vellumark/run"},
        {nullptr, "/home2", "/home2/.local/state/vellumark/run"},
        {"relative/state", "/home3", "/home3/.local/state/vellumark/run"},  // not absolute: ignored
    };
    const ScopedVariable noRuntime("XDG_RUNTIME_DIR", nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        const std::string state = c.state == nullptr ? "" : c.state[0] == '/' ? base + c.state : c.state;
        const ScopedVariable stateHome("XDG_STATE_HOME", c.state == nullptr ? nullptr : state.c_str());
        const ScopedVariable home("HOME", (base + c.home).c_str());
        const std::string name = UniqueName("fallback");
        const TSwapFileMapping mapping(name, PageReadWrite, 16);
        const std::string dir = base + c.expected;
        struct stat st {};
        EXPECT_EQ(::lstat((dir + "/" + platform::ObjectFileName(name, ".shm")).c_str(), &st), 0);
        // Each directory the product made on the way is ours alone.
        for (std::string path = dir; path.size() > base.size(); path.resize(path.rfind('/'))) {
            ASSERT_EQ(::lstat(path.c_str(), &st), 0) << path;
            EXPECT_TRUE(S_ISDIR(st.st_mode)) << path;
            EXPECT_EQ(st.st_mode & 0777, 0700u) << path;
        }
    }
}

TEST(RegionTest, ARegionFileWithASecondNameIsRefusedAndLeftAlone)
{
    // The same user linked the region's name to a document of theirs:
    // opening the region as new would truncate the document.
    {
        TSwapFileMapping any(UniqueName("dir"), PageReadWrite, 16);
    }
    const std::string document = UseTestRuntimeDir() + "/" + UniqueName("document");
    std::ofstream(document) << "precious";
    ASSERT_EQ(::chmod(document.c_str(), 0600), 0);
    for (const std::string prefix : {"", "Optex_MMF_"}) {
        const std::string name = UniqueName("linked");
        ASSERT_EQ(
            ::link(document.c_str(), (PrivateDir() + "/" + platform::ObjectFileName(prefix + name, ".shm")).c_str()),
            0);
        try {
            if (prefix.empty())
                TSwapFileMapping mapping(name, PageReadWrite, 16);
            else
                TOptex lock(name, -1);
            ADD_FAILURE() << "a region file with two names was opened";
        } catch (const ESystemError& error) {
            EXPECT_EQ(error.ErrorCode(), static_cast<std::uint32_t>(EMLINK)) << error.Message();
        }
    }
    std::stringstream content;
    content << std::ifstream(document).rdbuf();
    EXPECT_EQ(content.str(), "precious");
}

TEST(RegionTest, AFullFileSystemIsAnErrorNotACrash)
{
    // A tmpfs of 64 KiB, mounted by the helper in a mount namespace of its
    // own, under a region of 1 MiB: a sparse file would die of SIGBUS at
    // the first store past what the file system holds.
    const std::string dir = UseTestRuntimeDir() + "/" + UniqueName("small");
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    Helper helper({"fullfs", dir, "65536", UniqueName("big"), std::to_string(1 << 20)});
    const std::string answer = helper.ReadLine();
    if (answer.rfind("skip", 0) == 0)
        GTEST_SKIP() << "no tmpfs can be mounted here (errno " << answer.substr(5) << ")";
    EXPECT_EQ(answer, "error EFileMappingError " + std::to_string(ENOSPC));
    EXPECT_EQ(helper.Wait(), 3);
}

TEST(RegionTest, AnotherUserCannotOpenTheObjects)
{
    if (::getuid() != 0)
        GTEST_SKIP() << "needs root to start a helper as another user (nobody)";
    const std::string name = UniqueName("foreign");
    TOptex mine(name, -1);
    TSwapFileMapping region(name, PageReadWrite, 64);
    // The build tree may lie where nobody cannot reach; a copy in the test's
    // own 0755 directory can be run by anyone.
    const std::string program = UseTestRuntimeDir() + "/ipc_helper";
    std::filesystem::copy_file(IPC_HELPER_PATH, program, std::filesystem::copy_options::overwrite_existing);
    ASSERT_EQ(::chmod(program.c_str(), 0755), 0);
    // Whatever it opens first meets our private folder, which it refuses:
    // the program's system failure, for the region and the lock alike.
    const std::pair<std::vector<std::string>, std::string> attempts[] = {
        {{"region", name, "64", "0", "1"}, "error ESystemError " + std::to_string(EACCES)},
        {{"acquire", name}, "error ESystemError " + std::to_string(EACCES)},
    };
    for (const auto& [args, expected] : attempts) {
        Helper other(args, 65534, program);
        const std::string answer = other.ReadLine();
        if (answer.empty() && other.Wait() >= 126)
            GTEST_SKIP() << "the helper cannot be started as nobody here (setuid or exec refused)";
        EXPECT_EQ(answer, expected);
    }
}

TEST(RegionTest, DestroyingTheRegionUnmapsItsViews)
{
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    unsigned char present = 0;
    void* first = nullptr;
    void* second = nullptr;
    {
        TSwapFileMapping mapping(UniqueName("views"), PageReadWrite, 2 * page);
        first = mapping.MapView(FileMapAllAccess, page, 0).Memory();
        auto& kept = mapping.MapView(FileMapAllAccess, page, page);
        second = kept.Memory();
        auto& dropped = mapping.MapView(FileMapRead, 0, 0);
        void* droppedAt = dropped.Memory();
        mapping.DestroyView(dropped);
        EXPECT_EQ(mapping.ViewCount(), 2u);
        EXPECT_EQ(::mincore(droppedAt, page, &present), -1);
        EXPECT_EQ(::mincore(second, page, &present), 0);
    }
    // mincore fails with ENOMEM on memory that is no longer mapped.
    EXPECT_EQ(::mincore(first, page, &present), -1);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(::mincore(second, page, &present), -1);
}

// The stream over a view: every read and write stays inside the view, and a
// read-only view (mapped without write access: a store would fault) is
// never written.
TEST(ViewTest, AStreamMovesBytesOnlyWithinItsView)
{
    const std::int64_t page = static_cast<std::int64_t>(::sysconf(_SC_PAGESIZE));
    TSwapFileMapping mapping(UniqueName("stream"), PageReadWrite, static_cast<std::uint64_t>(2 * page));
    const auto* region = static_cast<const char*>(mapping.MapView(FileMapRead, 0, 0).Memory());
    TFileMappingView& view = mapping.MapView(FileMapAllAccess, 16, static_cast<std::uint64_t>(page));
    EXPECT_EQ(view.Size(), 16);
    EXPECT_EQ(view.Write("0123456789abcdefXYZ", 19), 16);  // cut at the view's end
    EXPECT_EQ(view.Position(), 16);
    EXPECT_EQ(view.Write("X", 1), 0);
    EXPECT_EQ(std::string(region + page, 17), std::string("0123456789abcdef\0", 17));

    char buffer[32] = {};
    struct Move {
        std::int64_t offset;
        TSeekOrigin origin;
        std::int64_t position;  // -1: refused, the position stays
    };
    const Move moves[] = {
        {4, TSeekOrigin::soBeginning, 4},    {2, TSeekOrigin::soCurrent, 6},    {-3, TSeekOrigin::soEnd, 13},
        {-1, TSeekOrigin::soBeginning, -1},  {-14, TSeekOrigin::soCurrent, -1}, {INT64_MAX, TSeekOrigin::soEnd, -1},
        {INT64_MIN, TSeekOrigin::soEnd, -1}, {100, TSeekOrigin::soEnd, 116},
    };
    std::int64_t position = view.Position();
    for (const Move& move : moves) {
        SCOPED_TRACE(move.offset);
        EXPECT_EQ(view.Seek(move.offset, move.origin), move.position);
        if (move.position >= 0)
            position = move.position;
        EXPECT_EQ(view.Position(), position);
    }
    EXPECT_EQ(view.Read(buffer, 5), 0);  // past the end
    EXPECT_EQ(view.Write("X", 1), 0);
    view.SetPosition(13);
    EXPECT_EQ(view.Read(buffer, 0), 0);
    EXPECT_EQ(view.Read(buffer, -5), 0);
    EXPECT_EQ(view.Read(buffer, 5), 3);
    EXPECT_EQ(std::string(buffer, 3), "def");

    TFileMappingView& readOnly = mapping.MapView(FileMapRead, 16, static_cast<std::uint64_t>(page));
    EXPECT_EQ(readOnly.Write("zz", 2), 0);
    EXPECT_EQ(readOnly.Position(), 0);
    EXPECT_EQ(readOnly.Read(buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), "0123");
    EXPECT_EQ(mapping.MapView(FileMapRead, 0, static_cast<std::uint64_t>(page)).Size(), page);  // 0: the rest
}

TEST(ViewTest, AnUnalignedOffsetIsRoundedByTheRegionsRuleAndNeverWraps)
{
    const std::uint64_t page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    TSwapFileMapping mapping(UniqueName("rounding"), PageReadWrite, 3 * page);
    auto* bytes = static_cast<char*>(mapping.MapView(FileMapWrite, 0, 0).Memory());
    bytes[0] = 'A';
    bytes[page] = 'B';
    bytes[2 * page] = 'C';
    struct Case {
        TOffsetRounding rounding;
        std::uint64_t offset;
        std::uint64_t mappedAt;  // UINT64_MAX: refused
        char first;
    };
    const Case cases[] = {
        {TOffsetRounding::RoundDown, page + 100, page, 'B'},
        {TOffsetRounding::RoundUp, page + 100, 2 * page, 'C'},
        {TOffsetRounding::RoundUp, page, page, 'B'},  // aligned: as it is
        {TOffsetRounding::RoundDown, 1, 0, 'A'},
        {TOffsetRounding::RoundUp, 2 * page + 1, UINT64_MAX, 0},    // past the end
        {TOffsetRounding::RoundUp, UINT64_MAX - 5, UINT64_MAX, 0},  // would wrap to 0
        {TOffsetRounding::RoundDown, UINT64_MAX - 5, UINT64_MAX, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.rounding == TOffsetRounding::RoundUp ? "up " : "down ") << c.offset);
        mapping.SetRounding(c.rounding);
        try {
            const TFileMappingView& view = mapping.MapView(FileMapRead, 1, c.offset);
            EXPECT_EQ(view.Offset(), c.mappedAt);
            EXPECT_EQ(*static_cast<const char*>(view.Memory()), c.first);
        } catch (const EFileMappingViewError& error) {
            EXPECT_EQ(c.mappedAt, UINT64_MAX) << error.Message();
            EXPECT_EQ(error.ErrorCode(), static_cast<std::uint32_t>(EINVAL));
        }
    }
}

}  // namespace
