#include "instances/file_mapping.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <functional>
#include <memory>
#include <numeric>

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
        } catch (const EFileMappingError& raised) {
            error = raised.ErrorCode();
        }
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        EXPECT_EQ(error, static_cast<std::uint32_t>(c.error)) << c.what;
    }
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
    const std::pair<std::vector<std::string>, std::string> attempts[] = {
        {{"region", name, "64", "0", "1"}, "error EFileMappingError " + std::to_string(EACCES)},
        {{"acquire", name}, "error EEventError " + std::to_string(EACCES)},
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

}  // namespace
