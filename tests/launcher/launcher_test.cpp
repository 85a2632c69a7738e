#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "launcher/controlpanel.h"
#include "shell/tempdir.h"

namespace kv {
namespace {

TEST(Launcher, ArgumentRule) {
    struct Case {
        const char* arguments;
        bool accepted;
    };
    const Case cases[] = {
        {"rxdsvuqfxj", true},
        {"rxdsvuqfxj more text", true},
        {"rxdsvuqfxjX", true},   // only the first ten characters count
        {"", false},
        {"RXDSVUQFXJ", false},   // case-sensitive
        {"rxdsvuqfx", false},
        {" rxdsvuqfxj", false},
        {"xrxdsvuqfxj", false},
    };
    for (const Case& c : cases) EXPECT_EQ(LauncherArgumentAccepted(c.arguments), c.accepted) << c.arguments;
    const char* argv[] = {"queltdll", "rxdsvuqfxj", "a b"};
    EXPECT_EQ(CommandLineArguments(3, argv), "rxdsvuqfxj a b");
    EXPECT_EQ(CommandLineArguments(1, argv), "");
}

class PanelTest : public ::testing::Test {
protected:
    // An executable stand-in for a panel program that writes its arguments to `marker`.
    std::string Fake(const std::string& dir, const std::string& name) {
        std::filesystem::create_directories(dir);
        const std::string path = dir + "/" + name;
        std::ofstream(path) << "#!/bin/sh\necho \"" << name << " $*\" >> '" << tmp.File("marker") << "'\n";
        ::chmod(path.c_str(), 0755);
        return path;
    }
    std::string Marker() {
        std::ifstream in(tmp.File("marker"));
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    test::TempDir tmp;
};

TEST_F(PanelTest, ThePanelOfTheRunningDesktopComesFirst) {
    const std::string a = tmp.File("a"), b = tmp.File("b");
    const std::string gnome = Fake(a, "gnome-control-center");
    const std::string kde = Fake(b, "systemsettings5");
    const std::string nm = Fake(b, "nm-connection-editor");
    const std::string path = a + ":" + b;
    using Cmd = std::vector<std::string>;
    EXPECT_EQ(FindInternetControlPanel("ubuntu:GNOME", path), (Cmd{gnome, "network"}));
    EXPECT_EQ(FindInternetControlPanel("KDE", path), (Cmd{kde, "proxy"}));
    EXPECT_EQ(FindInternetControlPanel("kde", path), (Cmd{kde, "proxy"}));
    EXPECT_EQ(FindInternetControlPanel("XFCE", path), (Cmd{gnome, "network"}));  // any known panel
    EXPECT_EQ(FindInternetControlPanel("XFCE", b), (Cmd{kde, "proxy"}));
    std::filesystem::remove(kde);
    EXPECT_EQ(FindInternetControlPanel("KDE", b), (Cmd{nm}));
    // a file that cannot be run is no panel
    ::chmod(nm.c_str(), 0644);
    EXPECT_EQ(FindInternetControlPanel("KDE", b), std::nullopt);
    EXPECT_EQ(FindInternetControlPanel("", ""), std::nullopt);
}

#ifdef QUELTDLL_PATH
int RunQueltdll(const std::string& arguments, const std::string& path, const std::string& desktop) {
    const std::string command = "env -i PATH='" + path + "' XDG_CURRENT_DESKTOP='" + desktop + "' '" +
                                QUELTDLL_PATH + "' " + arguments;
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(PanelTest, TheProgramOpensThePanelOnlyForItsArgumentAndAlwaysEndsWithZero) {
    const std::string bin = tmp.File("bin");
    Fake(bin, "nm-connection-editor");
    // without the argument, or with it in capitals, nothing is opened
    EXPECT_EQ(RunQueltdll("", bin, "XFCE"), 0);
    EXPECT_EQ(RunQueltdll("RXDSVUQFXJ", bin, "XFCE"), 0);
    EXPECT_EQ(Marker(), "");
    // with it (and more text after it) the panel runs and the launcher waits for it
    EXPECT_EQ(RunQueltdll("rxdsvuqfxj otra cosa", bin, "XFCE"), 0);
    EXPECT_EQ(Marker(), "nm-connection-editor \n");
    // no panel installed: it ends silently
    EXPECT_EQ(RunQueltdll("rxdsvuqfxj", tmp.File("empty"), "GNOME"), 0);
    EXPECT_EQ(Marker(), "nm-connection-editor \n");
}
#endif

}  // namespace
}  // namespace kv
