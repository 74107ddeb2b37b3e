// The instance table's own operations, in one process: the test edits the
// shared table directly to set up the other entries.

#include "instances/app_instances.h"

#include "platform/base/ascii.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "ipc_test_support.h"

namespace {

using namespace ipc_test;

// Processes that surely run, to stand in for other instances.
std::uint32_t Init()
{
    return 1;
}
std::uint32_t Parent()
{
    return static_cast<std::uint32_t>(::getppid());
}
std::uint32_t Me()
{
    return static_cast<std::uint32_t>(::getpid());
}

class AppInstancesTest : public ::testing::Test {
protected:
    AppInstancesTest()
        : table_(std::make_unique<TAppInstances>(path_)),
          map_(table_->BaseName() + "_Map", PageReadWrite, sizeof(TInstanceTableRegion)),
          age_(table_->BaseName() + "_Age", PageReadWrite, sizeof(TInstanceAgesRegion)),
          mapRegion_(*static_cast<TInstanceTableRegion*>(
              map_.MapView(FileMapAllAccess, sizeof(TInstanceTableRegion), 0).Memory())),
          ageRegion_(*static_cast<TInstanceAgesRegion*>(
              age_.MapView(FileMapAllAccess, sizeof(TInstanceAgesRegion), 0).Memory())),
          data_(mapRegion_.Table), ages_(ageRegion_.Ages)
    {}

    void SetEntries(std::vector<std::uint32_t> pids)
    {
        data_.Used = static_cast<std::uint16_t>(pids.size());
        std::copy(pids.begin(), pids.end(), data_.Pids);
        std::fill(std::begin(ages_.Entries), std::end(ages_.Entries), TInstanceTableAges::Entry{});
        const platform::ProcessIdentity me = platform::CurrentProcessIdentity();
        for (std::size_t i = 0; i < pids.size(); ++i)
            if (pids[i] == Me())
                ages_.Entries[i] = {me.startTime, me.pidNamespace};
    }

    std::vector<std::uint32_t> Entries() const
    {
        return std::vector<std::uint32_t>(data_.Pids, data_.Pids + std::min<int>(data_.Used, 257));
    }

    const std::string path_ = "/opt/" + UniqueName("table") + "/vellumark";
    std::unique_ptr<TAppInstances> table_;
    TSwapFileMapping map_;
    TSwapFileMapping age_;
    TInstanceTableRegion& mapRegion_;
    TInstanceAgesRegion& ageRegion_;
    TInstanceTableData& data_;
    TInstanceTableAges& ages_;
};

TEST(InstanceBaseNameTest, IsIpcAndTheUpperCasedPathWithUnderscores)
{
    EXPECT_EQ(InstanceBaseName("/opt/vellumark/bin/vellumark"), "IPC_OPT_VELLUMARK_BIN_VELLUMARK");
    // Bytes outside ASCII (here UTF-8 of e-acute) stay as they are.
    EXPECT_EQ(InstanceBaseName("/tmp/\xc3\xa9t\xc3\xa9/a.b"), "IPC_TMP_\xc3\xa9T\xc3\xa9_A.B");
    // What upper-casing and '_' for '/' would merge is escaped.
    EXPECT_EQ(InstanceBaseName("/opt/Vellumark/a_b="), "IPC_OPT_=56ELLUMARK_A=5FB=3D");
    // Blanks stay: they merge with nothing, and the names that hold them are
    // escaped wherever a blank would end a field.
    EXPECT_EQ(InstanceBaseName("/opt/my apps/vellumark \t"), "IPC_OPT_MY APPS_VELLUMARK \t");
}

// Different program files never share a table: no two paths give one name.
TEST(InstanceBaseNameTest, DifferentPathsNeverShareAName)
{
    const std::vector<std::string> paths = {
        "/x/c1/vellumark",       "/x/C1/vellumark",    "/x/a_b/vellumark",  "/x/a/b/vellumark",
        "/x/a=5Fb/vellumark",    "/x/a=5fb/vellumark", "/x/=41/vellumark",  "/x/A/vellumark",
        "/x/a/vellumark",        "/x/a=/vellumark",    "/x/a=3D/vellumark", "/x/\xc3\xa9/vellumark",
        "/x/\xc3\x89/vellumark", "/x/_/vellumark",     "/x///vellumark",
    };
    std::set<std::string> names;
    for (const std::string& path : paths)
        EXPECT_TRUE(names.insert(InstanceBaseName(path)).second) << path << " -> " << InstanceBaseName(path);
    // Every byte and every pair of bytes, against each other.
    std::set<std::string> all;
    std::size_t count = 0;
    for (int a = 1; a < 256; ++a)
        for (int b = 0; b < 256; ++b) {
            std::string path(1, static_cast<char>(a));
            if (b != 0)
                path += static_cast<char>(b);
            all.insert(InstanceBaseName(path));
            ++count;
        }
    EXPECT_EQ(all.size(), count);
}

TEST_F(AppInstancesTest, TheFirstRegistrationSetsTheLimitAndTakesEntryZero)
{
    EXPECT_EQ(data_.Used, 0);
    EXPECT_EQ(data_.Limit, 0);
    EXPECT_TRUE(table_->RegisterInstance(65535));
    EXPECT_EQ(data_.Limit, 65535);
    EXPECT_EQ(Entries(), std::vector<std::uint32_t>{Me()});
    EXPECT_EQ(table_->RunningCount(), 1);
    EXPECT_EQ(table_->RunningCountUpToSelf(), 1);
    EXPECT_EQ(table_->ProcessIdAt(0), Me());
    EXPECT_EQ(table_->ProcessIdAt(1), 0u);
    EXPECT_EQ(table_->ProcessIdAt(-1), 0u);
    // A later registration keeps the limit the first one set.
    data_.Used = 0;
    EXPECT_TRUE(table_->RegisterInstance(3));
    EXPECT_EQ(data_.Limit, 65535);
}

TEST_F(AppInstancesTest, RegisteringAtTheLimitStillAddsTheEntryButSaysNo)
{
    data_.Limit = 2;
    SetEntries({Init(), Parent()});
    EXPECT_FALSE(table_->RegisterInstance(65535));
    EXPECT_EQ(Entries(), (std::vector<std::uint32_t>{Init(), Parent(), Me()}));
    EXPECT_EQ(table_->RunningCountUpToSelf(), 3);
}

TEST_F(AppInstancesTest, UnregisteringEntryZeroOfThreeMovesTheOthersUp)
{
    SetEntries({Me(), Init(), Parent()});
    table_->UnregisterInstance();
    EXPECT_EQ(Entries(), (std::vector<std::uint32_t>{Init(), Parent()}));
    EXPECT_EQ(table_->RunningCountUpToSelf(), 0);
    // Not listed: nothing changes.
    table_->UnregisterInstance();
    EXPECT_EQ(Entries(), (std::vector<std::uint32_t>{Init(), Parent()}));
}

TEST_F(AppInstancesTest, OnlyEarlierRegistrationsCountUpToSelf)
{
    SetEntries({Init(), Me(), Parent()});
    EXPECT_EQ(table_->RunningCountUpToSelf(), 2);
    EXPECT_EQ(table_->RunningCount(), 3);
    EXPECT_TRUE(table_->IsListed(Parent()));
    EXPECT_FALSE(table_->IsListed(12345678));
}

TEST_F(AppInstancesTest, AFullTableLeavesTheProcessUnlistedAndNothingIsWrittenPastIt)
{
    SetEntries(std::vector<std::uint32_t>(kInstanceTableEntries, Init()));
    data_.Limit = 65535;
    EXPECT_FALSE(table_->RegisterInstance(65535));
    EXPECT_EQ(data_.Used, kInstanceTableEntries);
    EXPECT_FALSE(table_->IsListed(Me()));
    EXPECT_EQ(table_->RunningCountUpToSelf(), 0);
    EXPECT_EQ(map_.View(0).Size(), sizeof(TInstanceTableRegion));
    EXPECT_EQ(sizeof(TInstanceTableRegion), 16u + 1032u);
}

TEST_F(AppInstancesTest, ADamagedCountIsClampedNeverTrusted)
{
    std::fill(std::begin(data_.Pids), std::end(data_.Pids), Init());
    data_.Used = 60000;
    EXPECT_EQ(table_->ProcessIdAt(256), Init());
    EXPECT_EQ(table_->ProcessIdAt(300), 0u);
    EXPECT_FALSE(table_->IsListed(Me()));
    table_->UnregisterInstance();  // not listed among the 257 it may look at
    EXPECT_EQ(table_->RunningCount(), kInstanceTableEntries);
    EXPECT_EQ(data_.Used, kInstanceTableEntries);
    EXPECT_FALSE(table_->RegisterInstance(65535));
    EXPECT_EQ(data_.Used, kInstanceTableEntries);
}

TEST_F(AppInstancesTest, EntriesOfEndedProcessesAreDroppedAlsoWhenTheIdWasReused)
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    const platform::ProcessIdentity me = platform::CurrentProcessIdentity();
    ASSERT_NE(me.startTime, 0u);
    SetEntries({Init(), static_cast<std::uint32_t>(child), Parent(), 0, 0xFFFFFFFFu, Me()});
    // The parent's id, recorded with another start time: a process that
    // ended, whose id the parent has now.
    ages_.Entries[2] = {me.startTime + 12345, me.pidNamespace};
    EXPECT_EQ(table_->RunningCount(), 2);
    EXPECT_EQ(Entries(), (std::vector<std::uint32_t>{Init(), Me()}));
    EXPECT_EQ(table_->RunningCountUpToSelf(), 2);
}

// On Linux another letter case, or a '_' where the path has a '/', names
// another file: another program, with a table of its own.
TEST_F(AppInstancesTest, TheSamePathSharesTheTableOtherLetterCaseOrAnotherPathDoesNot)
{
    ASSERT_TRUE(table_->RegisterInstance(65535));
    TAppInstances same(path_);
    EXPECT_EQ(same.ProcessIdAt(0), Me());
    EXPECT_EQ(same.NoticeMessage(), table_->NoticeMessage());
    std::string upper = path_;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) { return platform::AsciiToUpper(c); });
    std::string underscored = path_;
    underscored[path_.rfind('/')] = '_';
    for (const std::string& path : {upper, underscored, path_ + "2"}) {
        SCOPED_TRACE(path);
        TAppInstances other(path);
        EXPECT_EQ(other.RunningCount(), 0);
        EXPECT_NE(other.NoticeMessage(), table_->NoticeMessage());
    }
}

// Both regions carry a header (magic number, version, size), and a process
// attaches only to regions whose header is this version's: one without it
// (another version's table, or damage) is refused with a message that says
// what to do, and nothing in it is read or changed.
TEST_F(AppInstancesTest, ARegionWithoutThisVersionsHeaderIsNeverTrusted)
{
    EXPECT_EQ(mapRegion_.Header.Magic, TInstanceTableRegion::kMagic);
    EXPECT_EQ(mapRegion_.Header.Version, TInstanceTableRegion::kVersion);
    EXPECT_EQ(mapRegion_.Header.Size, sizeof(TInstanceTableRegion));
    EXPECT_EQ(ageRegion_.Header.Magic, TInstanceAgesRegion::kMagic);
    EXPECT_EQ(ageRegion_.Header.Version, TInstanceAgesRegion::kVersion);
    EXPECT_EQ(ageRegion_.Header.Size, sizeof(TInstanceAgesRegion));
    ASSERT_TRUE(table_->RegisterInstance(65535));

    struct Case {
        const char* what;
        std::uint32_t TInstanceRegionHeader::*field;
        std::uint32_t value;
    };
    const Case cases[] = {{"no header", &TInstanceRegionHeader::Magic, 0},
                          {"another magic", &TInstanceRegionHeader::Magic, 0x12345678},
                          {"another version", &TInstanceRegionHeader::Version, 2},
                          {"another size", &TInstanceRegionHeader::Size, 1032}};
    for (TInstanceRegionHeader* header : {&mapRegion_.Header, &ageRegion_.Header}) {
        const std::string region = table_->BaseName() + (header == &mapRegion_.Header ? "_Map" : "_Age");
        for (const Case& c : cases) {
            SCOPED_TRACE(region + ", " + c.what);
            const TInstanceRegionHeader sound = *header;
            header->*c.field = c.value;
            const std::vector<std::uint32_t> before = Entries();
            try {
                TAppInstances attached(path_);
                ADD_FAILURE() << "attached to a region without this version's header";
            } catch (const EFileMappingError& error) {
                EXPECT_EQ(error.Message(),
                          "The shared memory " + region +
                              " holds no instance table of this version: it is damaged, or another version of the "
                              "program is running. End every running copy of the program and start it again\r\n"
                              "Win32: Protocol error (71)");
            }
            EXPECT_EQ(header->*c.field, c.value) << "written to";
            EXPECT_EQ(Entries(), before);
            *header = sound;
        }
    }
    TAppInstances attached(path_);
    EXPECT_EQ(attached.ProcessIdAt(0), Me());
}

TEST_F(AppInstancesTest, TheTableObjectUnregistersWhenItGoes)
{
    ASSERT_TRUE(table_->RegisterInstance(65535));
    data_.Pids[1] = Init();
    data_.Used = 2;
    table_.reset();
    EXPECT_EQ(Entries(), std::vector<std::uint32_t>{Init()});
}

}  // namespace
