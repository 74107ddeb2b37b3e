#include <ftw.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>

#include <gtest/gtest.h>

#include <QApplication>

namespace {

int RemoveItem(const char* item, const struct stat*, int, FTW*)
{
    return ::remove(item);
}

// Windows publish themselves and the instance table lives under
// XDG_RUNTIME_DIR: every test program gets a directory of its own, so that
// nothing reaches the user's and two programs running at once never meet.
class RuntimeDirectory {
public:
    RuntimeDirectory()
    {
        if (::mkdtemp(path_) == nullptr || ::setenv("XDG_RUNTIME_DIR", path_, 1) != 0)
            std::abort();
    }
    ~RuntimeDirectory() { ::nftw(path_, RemoveItem, 16, FTW_DEPTH | FTW_PHYS); }

private:
    char path_[64] = "/tmp/vellumark-qt-test-XXXXXX";
};

}  // namespace

int main(int argc, char** argv)
{
    // Test discovery runs the programs without ctest's environment.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    const RuntimeDirectory runtime;
    testing::InitGoogleTest(&argc, argv);
    int result = 0;
    {
        QApplication app(argc, argv);
        result = RUN_ALL_TESTS();
    }
    return result;
}
