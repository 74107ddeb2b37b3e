// Many files at once, as the companion digests them side by side in the
// lanes of the vector unit: a tree of random files of every size about the
// edges of a block and of a window, digested through several FILEs, a -c
// list and a -r walk, against md5sum, sha1sum and sha256sum, and keyed
// against openssl; the same read without a lease, as another user; a file
// that fails among the others; few descriptors.

#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "tests/run_program.h"
#include "tests/test_files.h"

namespace {

constexpr std::size_t kWindow = std::size_t{1} << 20;

// A shell script run in the test's folder, "$V" naming the program.
Outcome RunScript(const std::string& script, const std::string& folder, int user = -1)
{
    return RunProgram("/bin/sh", {"-c", script}, folder, {}, {"V=" VELLUMARK_CLI_PATH, "LC_ALL=C"},
                      std::chrono::seconds(120), user);
}

struct Algorithm {
    const char* option;  // --md5
    const char* sum;     // md5sum
    const char* tag;     // MD5, as the tag lines name it
    const char* hmac;    // HMAC-MD5, as openssl names it
};

constexpr Algorithm kAlgorithms[] = {
    {"--md5", "md5sum", "MD5", "HMAC-MD5"},
    {"--sha1", "sha1sum", "SHA1", "HMAC-SHA1"},
    {"--sha256", "sha256sum", "SHA256", "HMAC-SHA2-256"},
};

class ManyFiles : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        std::vector<std::size_t> sizes = {0,
                                          1,
                                          55,
                                          56,
                                          57,
                                          63,
                                          64,
                                          65,
                                          111,
                                          112,
                                          119,
                                          120,
                                          127,
                                          128,
                                          129,
                                          4095,
                                          4096,
                                          4097,
                                          65535,
                                          65536,
                                          65537,
                                          kWindow - 65,
                                          kWindow - 1,
                                          kWindow,
                                          kWindow + 1,
                                          kWindow + 64,
                                          2 * kWindow - 1,
                                          2 * kWindow,
                                          3 * kWindow + 5};
        std::mt19937 random(20261210);
        for (int i = 0; i < 150; ++i)
            sizes.push_back(random() % (100 * 1024));
        for (int i = 0; i < 2; ++i)
            sizes.push_back(kWindow + random() % (2 * kWindow));
        ASSERT_EQ(RunScript("mkdir -p tree/a tree/b/c tree/d", Path("")).exitCode, 0);
        const char* folders[] = {"tree/a/", "tree/b/c/", "tree/d/", "tree/b/"};
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            std::string bytes(sizes[i], '\0');
            for (char& c : bytes)
                c = static_cast<char>(random());
            MakeFile(folders[i % 4] + std::string("f") + std::to_string(1000 + i), bytes);
        }
    }

    // The tree's files as find and sort list them, for the shell.
    static constexpr const char* kFound = "$(find tree -type f | LC_ALL=C sort)";

    // What the program printed, after checking that it succeeded without a word.
    std::string Ours(const std::string& script)
    {
        const Outcome run = RunScript(script, Path(""));
        EXPECT_EQ(run.exitCode, 0) << script;
        EXPECT_EQ(run.err, "") << script;
        return run.out;
    }

    std::string Theirs(const std::string& script)
    {
        const Outcome run = RunScript(script, Path(""));
        EXPECT_EQ(run.exitCode, 0) << script << ": " << run.err;
        EXPECT_NE(run.out, "") << script;
        return run.out;
    }
};

// Plain digests: the walk's lines, several FILEs' and a check's report, byte
// for byte as coreutils writes them.
TEST_F(ManyFiles, DigestsMatchCoreutilsThroughFilesListsAndWalks)
{
    for (const Algorithm& a : kAlgorithms) {
        SCOPED_TRACE(a.sum);
        const std::string sum = a.sum;
        const std::string option = a.option;
        EXPECT_EQ(Ours("$V -r --sum " + option + " tree"),
                  Theirs("find tree -type f -print0 | LC_ALL=C sort -z | xargs -0 " + sum));
        // Named in an order of their own: the largest first, so that the
        // files end in another order than they are named in.
        const std::string named = "tree/a/f1028 tree/d/* tree/b/f1027 tree/b/c/* tree/a/* tree/b/f*";
        EXPECT_EQ(Ours("$V --sum " + option + " " + named), Theirs(sum + " " + named));
        ASSERT_EQ(RunScript(sum + " " + std::string(kFound) + " > list", Path("")).exitCode, 0);
        EXPECT_EQ(Ours("$V -c list"), Theirs(sum + " -c list"));
        EXPECT_EQ(Ours("$V -c --quiet list"), "");
    }
}

// Keyed digests against openssl's, with a key shorter than a block and one
// longer: the walk's tag lines, several FILEs', and a check of openssl's
// digests.
TEST_F(ManyFiles, KeyedDigestsMatchOpenssl)
{
    if (RunScript("command -v openssl", Path("")).exitCode != 0)
        GTEST_SKIP() << "openssl is not installed";
    for (const std::string& key : {std::string("Jefe"), std::string(100, 'k')}) {
        for (const Algorithm& a : kAlgorithms) {
            SCOPED_TRACE(std::string(a.hmac) + ", a key of " + std::to_string(key.size()) + " bytes");
            const std::string option = a.option;
            // HMAC-MD5(name)= hex, as the tag line MD5 (name) = hex.
            const std::string theirs =
                Theirs("openssl dgst " + std::string(a.option).substr(1) + " -hmac '" + key + "' " + kFound +
                       " | sed 's/^" + a.hmac + "(\\(.*\\))= /" + a.tag + " (\\1) = /'");
            EXPECT_EQ(Ours("$V -r --lower --hmac '" + key + "' " + option + " tree"), theirs);
            EXPECT_EQ(Ours("$V --lower --hmac '" + key + "' " + option + " " + kFound), theirs);
            ASSERT_EQ(RunScript("openssl dgst " + std::string(a.option).substr(1) + " -hmac '" + key + "' " + kFound +
                                    " | sed 's/^" + a.hmac + "(\\(.*\\))= \\(.*\\)$/\\2  \\1/' > keyed",
                                Path(""))
                          .exitCode,
                      0);
            EXPECT_EQ(Ours("$V -c --quiet --hmac '" + key + "' " + option + " keyed"), "");
            const Outcome wrongKey = RunScript("$V -c --quiet --hmac 'not the key' " + option + " keyed", Path(""));
            EXPECT_EQ(wrongKey.exitCode, 1);
        }
    }
}

// Files another user reads have no lease: each is read twice, and the
// digests are the same.
TEST_F(ManyFiles, WithoutALeaseAsAnotherUser)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to read the files as another user";
    const std::string theirs = Theirs("find tree -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum");
    const Outcome run = RunScript("$V -r --sum --md5 tree", Path(""), 65534);
    if (run.exitCode == 126)
        GTEST_SKIP() << "cannot run the program as another user here (setuid to 65534 refused)";
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, theirs);
}

// A file whose read fails among the others (a process's own memory at
// address 0 cannot be read): it is told, and every other file's line comes
// in its place.
TEST_F(ManyFiles, OneFailingFileAmongManyIsToldAndTheOthersGoOn)
{
    const std::string before = "tree/a/* tree/b/c/*";
    const std::string after = "tree/d/* tree/b/f*";
    const Outcome ours = RunScript("$V --sum --md5 " + before + " /proc/self/mem " + after, Path(""));
    EXPECT_EQ(ours.exitCode, 1);
    EXPECT_EQ(ours.out, Theirs("md5sum " + before + " " + after));
    EXPECT_EQ(ours.err, "vellumark-cli: /proc/self/mem: Input/output error\n");

    ASSERT_EQ(RunScript("md5sum " + before +
                            " > list && echo '00000000000000000000000000000000  /proc/self/mem' >> "
                            "list && md5sum " +
                            after + " >> list",
                        Path(""))
                  .exitCode,
              0);
    const Outcome check = RunScript("$V -c --quiet list", Path(""));
    EXPECT_EQ(check.exitCode, 1);
    EXPECT_EQ(check.out, "/proc/self/mem: FAILED open or read\n");
    EXPECT_EQ(check.err,
              "vellumark-cli: /proc/self/mem: Input/output error\n"
              "vellumark-cli: WARNING: 1 listed file could not be read\n");
}

// Under a low descriptor limit fewer files are held open at once, and none
// fails to open.
TEST_F(ManyFiles, FewDescriptorsMakeForFewerFilesAtOnce)
{
    EXPECT_EQ(Ours("ulimit -n 20 && $V -r --sum --md5 tree"),
              Theirs("find tree -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum"));
}

}  // namespace
