#include "platform/boxes.h"
#include "platform/paths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace kv {
namespace {

struct EnvGuard {
    std::string name;
    std::string old;
    bool had;
    EnvGuard(const char* n, const char* value) : name(n) {
        const char* o = std::getenv(n);
        had = o != nullptr;
        if (had) old = o;
        if (value) setenv(n, value, 1); else unsetenv(n);
    }
    ~EnvGuard() {
        if (had) setenv(name.c_str(), old.c_str(), 1); else unsetenv(name.c_str());
    }
};

TEST(Paths, EnvironmentChoosesFoldersAndDefaultsFollowXdg) {
    {
        EnvGuard a("KESTOVA_HOME", "/x/kv/");
        EnvGuard b("QUELT_HOME", "/x/q");
        EnvGuard c("KESTOVA_REGISTRY", "/x/r.reg");
        EXPECT_EQ(ProgramDirectory(), "/x/kv");
        EXPECT_EQ(QueltDirectory(), "/x/q");
        EXPECT_EQ(RegistryFilePath(), "/x/r.reg");
    }
    EnvGuard a("KESTOVA_HOME", nullptr);
    EnvGuard b("QUELT_HOME", nullptr);
    EnvGuard c("KESTOVA_REGISTRY", nullptr);
    EnvGuard d("XDG_DATA_HOME", "/d");
    EnvGuard e("XDG_CONFIG_HOME", "/c");
    EnvGuard f("XDG_DOWNLOAD_DIR", "/dl");
    EXPECT_EQ(ProgramDirectory(), "/d/kestova");
    EXPECT_EQ(QueltDirectory(), "/d/quelt2000");
    EXPECT_EQ(RegistryFilePath(), "/c/kestova/user.reg");
    EXPECT_EQ(DownloadDirectory(), "/dl/");
}

TEST(Paths, DownloadFolderFromUserDirsFile) {
    auto dir = std::filesystem::temp_directory_path() / ("kvpaths" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    {
        FILE* f = std::fopen((dir / "user-dirs.dirs").c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs("# comment\nXDG_DOWNLOAD_DIR=\"$HOME/Fetched\"\n", f);
        std::fclose(f);
    }
    EnvGuard a("XDG_DOWNLOAD_DIR", nullptr);
    EnvGuard b("XDG_CONFIG_HOME", dir.c_str());
    EnvGuard c("HOME", "/home/u");
    EXPECT_EQ(DownloadDirectory(), "/home/u/Fetched/");
    std::filesystem::remove_all(dir);
}

TEST(Paths, CreateParentDirectoriesMakesEveryMissingLevel) {
    auto dir = std::filesystem::temp_directory_path() / ("kvmk" + std::to_string(getpid()));
    std::string file = (dir / "a" / "b" / "f.txt").string();
    EXPECT_TRUE(CreateParentDirectories(file));
    EXPECT_TRUE(std::filesystem::is_directory(dir / "a" / "b"));
    EXPECT_FALSE(std::filesystem::exists(file));
    std::filesystem::remove_all(dir);
}

TEST(Boxes, FailureBoxAppendsCodeAndCutsAt100) {
    std::string seen;
    bool failure = false;
    auto old = SetBoxHandler([&](const std::string& t, bool f) { seen = t; failure = f; });
    FailureBox("CreateFile", 2);
    EXPECT_EQ(seen, "CreateFile [2]");
    EXPECT_TRUE(failure);
    FailureBox(std::string(120, 'x'), 5);
    EXPECT_EQ(seen.size(), 100u);
    SetBoxStringLookup([](unsigned id) { return "text " + std::to_string(id); });
    MessageBoxId(3001);
    EXPECT_EQ(seen, "text 3001");
    EXPECT_FALSE(failure);
    SetBoxStringLookup(nullptr);
    SetBoxHandler(old);
}

}  // namespace
}  // namespace kv
