#include <gtest/gtest.h>

#include <cstdlib>

#include "shell/queltpaths.h"
#include "shell/shellregistry.h"
#include "shell/shellservices.h"
#include "tempdir.h"

namespace kv {
namespace {

class ShellSettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("KESTOVA_REGISTRY", dir.File("user.reg").c_str(), 1);
        ::setenv("QUELT_HOME", (dir.Path() + "/mi quelt").c_str(), 1);
    }
    test::TempDir dir;
};

TEST_F(ShellSettingsTest, RegReadAndRegWriteArePlainStrings) {
    const std::string mbar = "HKEY_CURRENT_USER\\Software\\Quelt Internet\\navegador\\mbar";
    EXPECT_EQ(ShellAutomation::RegRead(mbar), "");  // missing reads as empty
    ASSERT_TRUE(ShellAutomation::RegWrite(mbar, "1"));
    EXPECT_EQ(ShellAutomation::RegRead(mbar), "1");
    EXPECT_EQ(QueltSetting("navegador\\mbar"), "1");
    EXPECT_EQ(QueltSetting("NAVEGADOR\\MBAR"), "1");  // names without regard to case
    ASSERT_TRUE(SetQueltSetting("miportal\\tipo", "3"));
    EXPECT_EQ(QueltSetting("miportal\\tipo"), "3");
    EXPECT_EQ(QueltSetting("navegador\\atstart"), "");

    // a path ending in "\" is the key's default value; HKEY_CLASSES_ROOT is the user's own
    ASSERT_TRUE(ShellAutomation::RegWrite("HKEY_CLASSES_ROOT\\.htm\\", "QueltTipo"));
    EXPECT_EQ(ShellAutomation::RegRead("HKEY_CLASSES_ROOT\\.htm\\"), "QueltTipo");
    EXPECT_EQ(ShellAutomation::RegRead("HKCU\\Software\\Classes\\.htm\\"), "QueltTipo");
    EXPECT_EQ(ShellAutomation::RegRead("HKEY_CLASSES_ROOT\\.htm\\Other"), "");
    // roots the stand-in does not hold read as empty and refuse writes
    EXPECT_FALSE(ShellAutomation::RegWrite("HKEY_LOCAL_MACHINE\\Software\\x\\y", "1"));
    EXPECT_EQ(ShellAutomation::RegRead("HKEY_LOCAL_MACHINE\\Software\\x\\y"), "");
    EXPECT_EQ(ShellAutomation::RegRead("garbage"), "");
}

TEST_F(ShellSettingsTest, ServicesDefaultToTheLocalSiteAndFollowTheirValues) {
    ShellServices d = LoadShellServices();
    EXPECT_EQ(d.homeSite, "file://" + dir.Path() + "/mi%20quelt/sitio");
    EXPECT_EQ(d.homePage, d.homeSite + "/index.html");
    EXPECT_EQ(d.HomeAddress("/sms.html"), d.homeSite + "/sms.html");
    EXPECT_EQ(d.SearchQuery("Yahoo"), DefaultSearchQuery("Yahoo"));
    EXPECT_FALSE(d.SearchQuery("ElIndice").empty());
    EXPECT_EQ(d.SearchQuery("NoSuchEngine"), "");

    ASSERT_TRUE(SetQueltSetting("servicios\\sitio", "http://www.example.es/"));
    ASSERT_TRUE(SetQueltSetting("servicios\\buscadorYahoo", "http://buscar.example/?p="));
    ShellServices c = LoadShellServices();
    EXPECT_EQ(c.homeSite, "http://www.example.es");
    EXPECT_EQ(c.homePage, "http://www.example.es/");
    EXPECT_EQ(c.HomeAddress("/skins/index.htm"), "http://www.example.es/skins/index.htm");
    EXPECT_EQ(c.SearchQuery("Yahoo"), "http://buscar.example/?p=");
    ASSERT_TRUE(SetQueltSetting("servicios\\inicio", "file:///tmp/inicio.html"));
    EXPECT_EQ(LoadShellServices().homePage, "file:///tmp/inicio.html");
}

TEST(QueltPaths, ShellPagesPadlockAndMappedAddresses) {
    const std::string q = "/home/ana/.local/share/quelt2000";
    EXPECT_EQ(MapQueltAddress("c:\\temp\\error.html", q), q + "/error.html");
    EXPECT_EQ(MapQueltAddress("C:\\TEMP\\sub\\FAV.HTM", q), q + "/sub/FAV.HTM");
    EXPECT_EQ(MapQueltAddress("c:\\windows\\x", q), "");
    struct Case {
        const char* address;
        bool shellPage;
    };
    const Case cases[] = {
        {"file:///home/ana/.local/share/quelt2000/miportal.html", true},
        {"file://localhost/home/ana/.local/share/quelt2000/error.html", true},
        {"FILE:///home/ana/.local/share/quelt2000/sitio/index.html", true},
        {"/home/ana/.local/share/quelt2000/FAV.HTM", true},
        {"C:\\TEMP\\miportal.html", true},
        {"about:blank", true},
        {"ABOUT:blank", true},
        {"file:///home/ana/.local/share/quelt2000-other/x.html", false},
        {"file:///home/ana/page.html", false},
        {"http://www.quelt.es/", false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsShellPageAddress(c.address, q), c.shellPage) << c.address;
    EXPECT_TRUE(ShowsPadlock("https://banco.example/"));
    EXPECT_FALSE(ShowsPadlock("HTTPS://banco.example/"));  // the test is case-sensitive
    EXPECT_FALSE(ShowsPadlock("http://x/"));
}

}  // namespace
}  // namespace kv
