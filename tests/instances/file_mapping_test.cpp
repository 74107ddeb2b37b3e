#include "instances/file_mapping.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "ipc_test_support.h"
#include "platform/private_dir.h"

namespace {

using namespace ipc_test;

class RegionTest : public ::testing::Test {
protected:
    void SetUp() override { UseTestRuntimeDir(); }

    static std::uint64_t Page() { return platform::SharedRegion::Granularity(); }

    template <class Error, class Action>
    static Error Raised(Action&& action)
    {
        try {
            action();
        } catch (const Error& error) {
            return error;
        }
        ADD_FAILURE() << "nothing raised";
        return Error(0);
    }
};

TEST(SystemErrorTest, MessageIsTextThenSystemLine)
{
    const EFileMappingError error(ENOENT);
    EXPECT_EQ(error.Message(), "Failed to create FileMapping\r\nWin32: No such file or directory (2)");
    EXPECT_EQ(error.ErrorCode(), 2u);
    EXPECT_STREQ(error.ClassName(), "EFileMappingError");
    const Exception& base = error;
    EXPECT_NE(dynamic_cast<const EGuardError*>(&base), nullptr);
    EXPECT_EQ(EFileMappingViewError(EINVAL).Message(),
              "Failed to create FileMappingView\r\nWin32: Invalid argument (22)");
}

TEST_F(RegionTest, NewRegionIsZeroFilledAndASecondOpenSharesIt)
{
    const std::string name = UniqueName("zero");
    TSwapFileMapping first(name, PageReadWrite, 1032);
    EXPECT_FALSE(first.AlreadyExisted());
    auto& view = first.MapView(FileMapAllAccess, 1032, 0);
    ASSERT_EQ(view.Size(), 1032);
    const auto* bytes = static_cast<const unsigned char*>(view.Memory());
    for (int i = 0; i < 1032; ++i)
        ASSERT_EQ(bytes[i], 0) << i;

    TSwapFileMapping second(name, PageReadWrite, 1032);
    EXPECT_TRUE(second.AlreadyExisted());
    auto& other = second.MapView(FileMapAllAccess, 1032, 0);
    static_cast<unsigned char*>(view.Memory())[1031] = 0xA5;
    EXPECT_EQ(static_cast<const unsigned char*>(other.Memory())[1031], 0xA5);
}

TEST_F(RegionTest, ProcessesShareBytesAndTheRegionIsGoneOnceAllAreKilled)
{
    const std::string name = UniqueName("shared");
    Helper a({"region", name, "1032"});
    ASSERT_EQ(a.ReadLine(), "existed 0 sum 0");
    a.Send("set 0 90");
    a.Send("set 1031 7");
    ASSERT_EQ(a.ReadLine(), "ok");
    ASSERT_EQ(a.ReadLine(), "ok");

    Helper b({"region", name, "1032"});
    EXPECT_EQ(b.ReadLine(), "existed 1 sum 97");
    b.Send("set 5 1");
    ASSERT_EQ(b.ReadLine(), "ok");
    a.Send("get 5");
    EXPECT_EQ(a.ReadLine(), "value 1");

    a.Kill();
    {
        // One user left alive keeps it.
        TSwapFileMapping still(name, PageReadWrite, 1032);
        EXPECT_TRUE(still.AlreadyExisted());
    }
    b.Kill();
    TSwapFileMapping fresh(name, PageReadWrite, 1032);
    EXPECT_FALSE(fresh.AlreadyExisted());
    const auto* bytes = static_cast<const unsigned char*>(fresh.MapView(FileMapRead, 1032, 0).Memory());
    EXPECT_EQ(bytes[0] + bytes[5] + bytes[1031], 0);
}

TEST_F(RegionTest, ViewOffsetsRoundToTheGranularityEitherWay)
{
    TSwapFileMapping mapping(UniqueName("round"), PageReadWrite, 3 * Page());
    auto& whole = mapping.MapView(FileMapAllAccess, 0, 0);
    EXPECT_EQ(whole.Size(), static_cast<std::int64_t>(3 * Page()));
    static_cast<char*>(whole.Memory())[Page()] = 'x';

    auto& down = mapping.MapView(FileMapRead, 16, Page() + 100);
    EXPECT_EQ(down.Offset(), Page());
    EXPECT_EQ(static_cast<const char*>(down.Memory())[0], 'x');

    mapping.SetRounding(TOffsetRounding::RoundUp);
    auto& up = mapping.MapView(FileMapRead, 0, 100);
    EXPECT_EQ(up.Offset(), Page());
    EXPECT_EQ(up.Size(), static_cast<std::int64_t>(2 * Page()));
    auto& exact = mapping.MapView(FileMapRead, 16, 2 * Page());
    EXPECT_EQ(exact.Offset(), 2 * Page());
    EXPECT_EQ(mapping.ViewCount(), 4u);

    EXPECT_EQ(Raised<EFileMappingViewError>([&] { mapping.MapView(FileMapRead, 0, 2 * Page() + 1); }).ErrorCode(),
              static_cast<std::uint32_t>(EINVAL));
    mapping.SetRounding(TOffsetRounding::RoundDown);
    EXPECT_EQ(Raised<EFileMappingViewError>([&] { mapping.MapView(FileMapRead, Page() + 1, 2 * Page()); }).ErrorCode(),
              static_cast<std::uint32_t>(EINVAL));
    EXPECT_EQ(Raised<EFileMappingViewError>([&] { mapping.MapView(FileMapRead, 1, UINT64_MAX); }).ErrorCode(),
              static_cast<std::uint32_t>(EINVAL));
    EXPECT_EQ(mapping.ViewCount(), 4u);
}

TEST_F(RegionTest, StreamReadsAndWritesOnlyInsideTheView)
{
    TSwapFileMapping mapping(UniqueName("stream"), PageReadWrite, 8);
    auto& view = mapping.MapView(FileMapAllAccess, 8, 0);
    EXPECT_EQ(view.Write("0123456789", 10), 8);
    EXPECT_EQ(view.Position(), 8);
    char buffer[16] = {};
    EXPECT_EQ(view.Read(buffer, 4), 0);
    EXPECT_EQ(view.Seek(-3, TSeekOrigin::soEnd), 5);
    EXPECT_EQ(view.Read(buffer, 16), 3);
    EXPECT_STREQ(buffer, "567");
    EXPECT_EQ(view.Seek(-100, TSeekOrigin::soCurrent), -1);
    EXPECT_EQ(view.Position(), 8);
    EXPECT_EQ(view.Seek(20, TSeekOrigin::soBeginning), 20);
    EXPECT_EQ(view.Write("x", 1), 0);
    EXPECT_EQ(view.Read(buffer, -1), 0);

    TSwapFileMapping readOnly(UniqueName("readonly"), PageReadOnly, 8);
    EXPECT_EQ(Raised<EFileMappingViewError>([&] { readOnly.MapView(FileMapWrite, 8, 0); }).ErrorCode(),
              static_cast<std::uint32_t>(EACCES));
    auto& reader = readOnly.MapView(FileMapRead, 8, 0);
    EXPECT_EQ(reader.Write("abc", 3), 0);  // would fault if it tried
}

TEST_F(RegionTest, DestroyingTheRegionUnmapsItsViews)
{
    unsigned char present = 0;
    void* first;
    void* second;
    {
        TSwapFileMapping mapping(UniqueName("views"), PageReadWrite, 2 * Page());
        first = mapping.MapView(FileMapAllAccess, Page(), 0).Memory();
        auto& kept = mapping.MapView(FileMapAllAccess, Page(), Page());
        second = kept.Memory();
        auto& dropped = mapping.MapView(FileMapRead, 0, 0);
        void* droppedAt = dropped.Memory();
        mapping.DestroyView(dropped);
        EXPECT_EQ(mapping.ViewCount(), 2u);
        EXPECT_EQ(::mincore(droppedAt, Page(), &present), -1);
        EXPECT_EQ(::mincore(second, Page(), &present), 0);
    }
    EXPECT_EQ(::mincore(first, Page(), &present), -1);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(::mincore(second, Page(), &present), -1);
}

TEST_F(RegionTest, NamesWithSlashesAndOverlongNamesStayApart)
{
    const std::string base = UniqueName("names");
    const std::string longName = base + std::string(600, 'L');
    const std::vector<std::string> names{base + "/a", base + "_a", base + "%2Fa", base + std::string("\0a", 2),
                                         longName + "1", longName + "2", std::string(300, '/')};
    std::vector<std::unique_ptr<TSwapFileMapping>> open;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string file = platform::ObjectFileName(names[i], ".shm");
        EXPECT_LE(file.size(), static_cast<std::size_t>(NAME_MAX));
        EXPECT_EQ(file.find('/'), std::string::npos);
        EXPECT_EQ(file.find('\0'), std::string::npos);
        open.push_back(std::make_unique<TSwapFileMapping>(names[i], PageReadWrite, 16));
        EXPECT_FALSE(open.back()->AlreadyExisted()) << i;
        static_cast<unsigned char*>(open.back()->MapView(FileMapWrite, 16, 0).Memory())[0] =
            static_cast<unsigned char>(i + 1);
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        TSwapFileMapping again(names[i], PageReadWrite, 16);
        EXPECT_TRUE(again.AlreadyExisted());
        EXPECT_EQ(static_cast<unsigned char*>(again.MapView(FileMapRead, 16, 0).Memory())[0], i + 1);
    }
}

TEST_F(RegionTest, ARegionShrunkBehindOurBackIsNotMappedPastItsEnd)
{
    const std::string name = UniqueName("shrunk");
    TSwapFileMapping mapping(name, PageReadWrite, 2 * Page());
    const std::string path = PrivateDir() + "/" + platform::ObjectFileName(name, ".shm");
    ASSERT_EQ(::truncate(path.c_str(), 100), 0);
    EXPECT_EQ(Raised<EFileMappingViewError>([&] { mapping.MapView(FileMapRead, 2 * Page(), 0); }).ErrorCode(),
              static_cast<std::uint32_t>(EINVAL));
    // A later opener that asks for more grows it back.
    TSwapFileMapping other(name, PageReadWrite, 2 * Page());
    EXPECT_EQ(other.MapView(FileMapRead, 0, 0).Size(), static_cast<std::int64_t>(2 * Page()));
}

TEST_F(RegionTest, AnOpenerStuckInsideTheOpenIsWaitedForOnlySoLong)
{
    const std::string name = UniqueName("busy");
    const platform::UniqueFd dir = platform::OpenPrivateDirectory();
    const auto held = platform::PrivateFileLock::Acquire(dir.Get(), platform::ObjectFileName(name, ".init"), 1s);
    const auto start = std::chrono::steady_clock::now();
    try {
        platform::SharedRegion region(name, 16, 100ms);
        FAIL() << "opened past a held init lock";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), ETIMEDOUT);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
}

TEST_F(RegionTest, PrivateDirectoryMustBeOursAlone)
{
    const std::string dir = PrivateDir();
    { TSwapFileMapping create(UniqueName("dir"), PageReadWrite, 16); }
    struct stat st {};
    ASSERT_EQ(::lstat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    ASSERT_EQ(::chmod(dir.c_str(), 0750), 0);
    EXPECT_EQ(Raised<EFileMappingError>([&] { TSwapFileMapping m(UniqueName("dir"), PageReadWrite, 16); }).ErrorCode(),
              static_cast<std::uint32_t>(EACCES));
    ASSERT_EQ(::chmod(dir.c_str(), 0700), 0);

    const std::string moved = dir + ".real";
    ASSERT_EQ(::rename(dir.c_str(), moved.c_str()), 0);
    ASSERT_EQ(::symlink(moved.c_str(), dir.c_str()), 0);
    EXPECT_EQ(Raised<EFileMappingError>([&] { TSwapFileMapping m(UniqueName("dir"), PageReadWrite, 16); }).ErrorCode(),
              static_cast<std::uint32_t>(ELOOP));
    ASSERT_EQ(::unlink(dir.c_str()), 0);
    ASSERT_EQ(::rename(moved.c_str(), dir.c_str()), 0);

    if (::getuid() == 0) {
        ASSERT_EQ(::chown(dir.c_str(), 65534, 65534), 0);
        EXPECT_EQ(Raised<EFileMappingError>([&] { TSwapFileMapping m(UniqueName("dir"), PageReadWrite, 16); })
                      .ErrorCode(),
                  static_cast<std::uint32_t>(EACCES));
        ASSERT_EQ(::chown(dir.c_str(), 0, 0), 0);
    }
}

TEST(PrivateDirPathTest, FollowsAnAbsoluteXdgRuntimeDirOnly)
{
    const std::string saved = UseTestRuntimeDir();
    ::setenv("XDG_RUNTIME_DIR", "/run/user/1234", 1);
    EXPECT_EQ(platform::PrivateDirectoryPath(), "/run/user/1234/vellumark");
    const std::string fallback = "/dev/shm/vellumark-" + std::to_string(::getuid());
    ::setenv("XDG_RUNTIME_DIR", "relative/dir", 1);
    EXPECT_EQ(platform::PrivateDirectoryPath(), fallback);
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(platform::PrivateDirectoryPath(), fallback);
    ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
}

TEST_F(RegionTest, AnotherUserCannotOpenTheObjects)
{
    if (::getuid() != 0)
        GTEST_SKIP() << "needs root to start a helper as another user (nobody)";
    const std::string name = UniqueName("foreign");
    TSwapFileMapping mine(name, PageReadWrite, 64);
    const std::string path = PrivateDir() + "/" + platform::ObjectFileName(name, ".shm");
    // The build tree may lie where nobody cannot reach; a copy in the test's
    // own 0755 directory can be run by anyone.
    const std::string program = UseTestRuntimeDir() + "/ipc_helper";
    std::filesystem::copy_file(IPC_HELPER_PATH, program, std::filesystem::copy_options::overwrite_existing);
    ASSERT_EQ(::chmod(program.c_str(), 0755), 0);
    Helper other({"foreign", name, path}, 65534, program);
    const std::string first = other.ReadLine();
    if (first.empty() && other.Wait() >= 126)
        GTEST_SKIP() << "the helper cannot be started as nobody here (setuid or exec refused)";
    EXPECT_EQ(first, "region EFileMappingError " + std::to_string(EACCES));
    EXPECT_EQ(other.ReadLine(), "optex EEventError " + std::to_string(EACCES));
    EXPECT_EQ(other.ReadLine(), "open " + std::to_string(EACCES));
    EXPECT_EQ(other.Wait(), 0);
}

}  // namespace
