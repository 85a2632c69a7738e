#include "support/boxcatcher.h"
#include "jobs/cipher.h"
#include "platform/boxes.h"
#include "platform/registry.h"
#include "settings/dialup_query.h"
#include "settings/settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

namespace kv {
namespace {

namespace fs = std::filesystem;

constexpr const char* kDownloads = "/srv/downloads";


std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class SettingsStore : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("kvset-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir / "home");
        hive = (dir / "user.reg").string();
        setenv("KESTOVA_REGISTRY", hive.c_str(), 1);
        setenv("KESTOVA_HOME", (dir / "home").c_str(), 1);
        setenv("XDG_DOWNLOAD_DIR", kDownloads, 1);
        SetDialupQueries({});
    }
    void TearDown() override {
        SetDialupQueries({});
        unsetenv("KESTOVA_REGISTRY");
        unsetenv("KESTOVA_HOME");
        unsetenv("XDG_DOWNLOAD_DIR");
        fs::remove_all(dir);
    }

    // A hive holding the Configure key with `configure` as its value lines (and, when
    // `version` is given, Software\Kestova with "Version").
    void WriteHive(const std::string& configure, const char* version = "dword:01220100") {
        std::ofstream out(hive, std::ios::binary | std::ios::trunc);
        out << "REGEDIT4\n\n";
        if (version) out << "[HKEY_CURRENT_USER\\Software\\Kestova]\n\"Version\"=" << version << "\n\n";
        out << "[HKEY_CURRENT_USER\\Software\\Kestova\\Configure]\n" << configure << "\n";
    }

    Settings Loaded() {
        Settings s;
        EXPECT_TRUE(LoadSettings(s));
        return s;
    }

    // What a second, independent view of the hive file reads.
    std::string StoredText(const char* key, const char* name) {
        HKey root = OpenHiveFile(hive);
        HKey k;
        std::string text;
        if (RegOpenKey(root, key, k) != ERROR_SUCCESS ||
            RegQueryString(k, name, text) != ERROR_SUCCESS)
            return "<missing>";
        return text;
    }
    bool StoredNumber(const char* key, const char* name, uint32_t& value) {
        HKey root = OpenHiveFile(hive);
        HKey k;
        return RegOpenKey(root, key, k) == ERROR_SUCCESS &&
               RegQueryDword(k, name, value) == ERROR_SUCCESS;
    }

    fs::path dir;
    std::string hive;
};

TEST_F(SettingsStore, EmptyOrMissingKeyGivesTheDefaults) {
    const Settings defaults = DefaultSettings();
    EXPECT_EQ(defaults.BandWidth, 5000);
    EXPECT_EQ(defaults.DefaultDirectory, std::string(kDownloads) + "/");

    EXPECT_EQ(Loaded(), defaults);  // no hive at all
    WriteHive("");                  // an empty Configure key
    EXPECT_EQ(Loaded(), defaults);

    Settings zeros;  // before loading the record holds zeros
    EXPECT_EQ(zeros.MaxError, 0);
    EXPECT_TRUE(zeros.UserAgent.empty());
}

// Saving the defaults writes every field, in the table's order, with the table's values.
TEST_F(SettingsStore, SaveWritesEveryFieldInTableOrderThenTheVersion) {
    ASSERT_TRUE(SaveSettings(DefaultSettings()));
    struct Expected {
        const char* name;
        uint32_t number;       // for REG_DWORD values
        const char* text;      // for REG_SZ values (nullptr: a number)
    };
    const std::string downloads = std::string(kDownloads) + "/";
    const std::string files = "zip exe bin gz z tar arj lzh mp3 ";
    const std::vector<Expected> table = {
        {"MaxError", 10, nullptr}, {"AlwaysRetry", 0, nullptr}, {"RetryDelay", 10, nullptr},
        {"ConnectTimeout", 120, nullptr}, {"ReceiveTimeout", 120, nullptr},
        {"MaxRunJob", 5, nullptr}, {"BandWidthMode", 0, nullptr},
        {"MaxBandWidth", 5000, nullptr}, {"YieldBandWidth", 200, nullptr},
        {"BandWidth", 5000, nullptr}, {"FileExistMode", 0, nullptr},
        {"ShowAddJob", 1, nullptr}, {"AutoDelJob", 0, nullptr}, {"AutoStartJob", 0, nullptr},
        {"StopNoResume", 0, nullptr}, {"UseCookie", 1, nullptr}, {"GetFileDate", 0, nullptr},
        {"CreateNFO", 0, nullptr}, {"DefaultDirectory", 0, downloads.c_str()},
        {"DefaultAntNumber", 5, nullptr}, {"DefaultDoItNow", 1, nullptr},
        {"StartAsTray", 0, nullptr}, {"AutoSave", 1, nullptr}, {"AutoSaveSize", 100, nullptr},
        {"HistoScale", 5, nullptr}, {"HistoSample", 5, nullptr}, {"SendPop", 0, nullptr},
        {"ShowNotify", 1, nullptr}, {"SendPopTo", 0, "."}, {"UseSound", 0, nullptr},
        {"AutoHangup", 0, nullptr}, {"AutoExit", 0, nullptr}, {"AutoShutdown", 0, nullptr},
        {"AutoBackup", 1, nullptr}, {"MonitorClipboard", 1, nullptr},
        {"CBFileType", 0, files.c_str()}, {"IntegrateBrowser", 0, nullptr},
        {"BSFileType", 0, files.c_str()}, {"OpenCancelledUrl", 0, nullptr},
        {"VirusCheck", 0, nullptr}, {"Scanner", 0, ""}, {"ScannerArg", 0, ""},
        {"UseDefaultProxy", 0, nullptr}, {"UseDialup", 0, nullptr}, {"DialupEntry", 0, ""},
        {"DialupAttempt", 5, nullptr}, {"DialupWait", 1, nullptr}, {"DialupUser", 0, ""},
        {"DialupPassword", 0, nullptr /* checked below */}, {"AutoDialup", 0, nullptr},
        {"ReestablishWinTitle", 0, "Reestablish Connection"},
        {"ScheduleDownload", 0, nullptr}, {"ScheduleDownloadHour", 9, nullptr},
        {"ScheduleDownloadMin", 0, nullptr}, {"ScheduleHangup", 0, nullptr},
        {"ScheduleHangupHour", 21, nullptr}, {"ScheduleHangupMin", 0, nullptr},
        {"WavebarBackColor", 0x000000, nullptr}, {"WavebarPlotBeginColor", 0x4080FF, nullptr},
        {"WavebarPlotEndColor", 0x80FFFF, nullptr}, {"WavebarScaleColor", 0x004000, nullptr},
        {"SkinEntry", 0, ""}, {"Referer", 0, ""}, {"UserAgent", 0, "Kestova/1.22"},
        {"ASCFileType", 0, "txt *htm* "},
    };
    HKey root = OpenHiveFile(hive);
    HKey key;
    ASSERT_EQ(RegOpenKey(root, "Software\\Kestova\\Configure", key), ERROR_SUCCESS);
    std::vector<std::string> names;
    std::string name;
    for (uint32_t i = 0; RegEnumValue(key, i, name) == ERROR_SUCCESS; ++i) names.push_back(name);
    ASSERT_EQ(names.size(), table.size());
    for (size_t i = 0; i < table.size(); ++i) {
        SCOPED_TRACE(table[i].name);
        EXPECT_EQ(names[i], table[i].name);
        if (std::string_view(table[i].name) == "DialupPassword") {
            std::string cipher;
            EXPECT_EQ(RegQueryString(key, "DialupPassword", cipher), ERROR_SUCCESS);
            EXPECT_EQ(cipher, EncipherPassword(""));  // 12 characters, never plain
            EXPECT_EQ(cipher.size(), 12u);
        } else if (table[i].text) {
            std::string text;
            EXPECT_EQ(RegQueryString(key, table[i].name, text), ERROR_SUCCESS);
            EXPECT_EQ(text, table[i].text);
        } else {
            uint32_t value = 0xDEAD;
            EXPECT_EQ(RegQueryDword(key, table[i].name, value), ERROR_SUCCESS);
            EXPECT_EQ(value, table[i].number);
        }
    }
    uint32_t version = 0;
    EXPECT_TRUE(StoredNumber("Software\\Kestova", "Version", version));
    EXPECT_EQ(version, 0x01220100u);
}

TEST_F(SettingsStore, ValuesOutsideTheirRangeTakeTheirDefault) {
    using Field = std::function<int64_t(const Settings&)>;
    struct Case {
        const char* stored;  // value lines of the Configure key
        Field field;
        int64_t expected;
    };
    auto maxError = [](const Settings& s) { return int64_t(s.MaxError); };
    const std::vector<Case> cases = {
        {"\"MaxError\"=dword:00000000", maxError, 10},
        {"\"MaxError\"=dword:000000c9", maxError, 10},  // 201
        {"\"MaxError\"=dword:00000001", maxError, 1},
        {"\"MaxError\"=dword:000000c8", maxError, 200},
        {"\"MaxError\"=\"20\"", maxError, 10},             // not a number
        {"\"MaxError\"=hex:14,00,00,00", maxError, 10},    // not a REG_DWORD
        {"\"ConnectTimeout\"=dword:00000009", [](const Settings& s) { return s.ConnectTimeout; }, 120},
        {"\"ReceiveTimeout\"=dword:0000012d", [](const Settings& s) { return s.ReceiveTimeout; }, 120},
        {"\"RetryDelay\"=dword:00000000", [](const Settings& s) { return s.RetryDelay; }, 0},
        {"\"RetryDelay\"=dword:ffffffff", [](const Settings& s) { return s.RetryDelay; }, 10},  // -1
        {"\"MaxRunJob\"=dword:0000000b", [](const Settings& s) { return s.MaxRunJob; }, 5},
        {"\"BandWidthMode\"=dword:00000003", [](const Settings& s) { return s.BandWidthMode; }, 0},
        {"\"MaxBandWidth\"=dword:000003e7", [](const Settings& s) { return s.MaxBandWidth; }, 5000},
        {"\"MaxBandWidth\"=dword:80000000", [](const Settings& s) { return s.MaxBandWidth; }, 5000},
        {"\"YieldBandWidth\"=dword:00002711", [](const Settings& s) { return s.YieldBandWidth; }, 200},
        {"\"MaxBandWidth\"=dword:00001388\n\"BandWidth\"=dword:00001770",
         [](const Settings& s) { return s.BandWidth; }, 5000},  // 6000 over a top of 5000
        {"\"BandWidth\"=dword:ffffffff", [](const Settings& s) { return s.BandWidth; }, 5000},
        {"\"FileExistMode\"=dword:00000005", [](const Settings& s) { return s.FileExistMode; }, 0},
        {"\"ShowAddJob\"=dword:00000002", [](const Settings& s) { return s.ShowAddJob; }, 1},
        {"\"AutoDelJob\"=dword:00000001", [](const Settings& s) { return s.AutoDelJob; }, 1},
        {"\"DefaultAntNumber\"=dword:00000006", [](const Settings& s) { return s.DefaultAntNumber; }, 5},
        {"\"AutoSaveSize\"=dword:0000000f", [](const Settings& s) { return s.AutoSaveSize; }, 100},
        {"\"AutoSaveSize\"=dword:00000400", [](const Settings& s) { return s.AutoSaveSize; }, 1024},
        {"\"HistoScale\"=dword:000000c9", [](const Settings& s) { return s.HistoScale; }, 5},
        {"\"HistoSample\"=dword:0000003d", [](const Settings& s) { return s.HistoSample; }, 5},
        {"\"DialupAttempt\"=dword:00000065", [](const Settings& s) { return s.DialupAttempt; }, 5},
        {"\"DialupWait\"=dword:00000000", [](const Settings& s) { return s.DialupWait; }, 1},
        {"\"ScheduleDownloadHour\"=dword:00000018", [](const Settings& s) { return s.ScheduleDownloadHour; }, 9},
        {"\"ScheduleDownloadMin\"=dword:0000003c", [](const Settings& s) { return s.ScheduleDownloadMin; }, 0},
        {"\"ScheduleHangupHour\"=dword:00000017", [](const Settings& s) { return s.ScheduleHangupHour; }, 23},
        {"\"WavebarBackColor\"=dword:ffffffff", [](const Settings& s) { return s.WavebarBackColor; }, 0xFFFFFFFF},
        {"\"WavebarScaleColor\"=\"green\"", [](const Settings& s) { return s.WavebarScaleColor; }, 0x004000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored);
        WriteHive(c.stored);
        EXPECT_EQ(c.field(Loaded()), c.expected);
    }
}

// The top of the manual speed scale reaches today's lines; the old range loads as before.
TEST_F(SettingsStore, SpeedLimitsOfTodaysLinesAreKept) {
    struct Case {
        uint32_t maxStored;
        const char* bandStored;  // nullptr: no BandWidth value
        int32_t max, band;
    };
    const std::vector<Case> cases = {
        {2000000, "dword:001e8480", 2000000, 2000000},  // 2 MB/s on a 100 Mbit/s line
        {12500000, "dword:001e8480", 12500000, 2000000},
        {2147483647, nullptr, 2147483647, 2147483647},
        {200000, "dword:000249f0", 200000, 150000},     // the old top, as before
        {1000, "dword:00000000", 1000, 0},
        {5000, nullptr, 5000, 5000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.maxStored);
        char line[64];
        std::snprintf(line, sizeof line, "\"MaxBandWidth\"=dword:%08x\n", c.maxStored);
        std::string lines = line;
        if (c.bandStored) lines += std::string("\"BandWidth\"=") + c.bandStored + "\n";
        WriteHive(lines);
        Settings s = Loaded();
        EXPECT_EQ(s.MaxBandWidth, c.max);
        EXPECT_EQ(s.BandWidth, c.band);
        ASSERT_TRUE(SaveSettings(s));
        EXPECT_EQ(Loaded(), s);
    }
}

TEST_F(SettingsStore, TextRules) {
    const std::string downloads = std::string(kDownloads) + "/";
    fs::create_directories(dir / "home" / "skin" / "Blue");
    fs::create_directories(dir / "home" / "Outside");
    using Field = std::function<std::string(const Settings&)>;
    auto dirOf = [](const Settings& s) { return s.DefaultDirectory.str(); };
    auto agent = [](const Settings& s) { return s.UserAgent.str(); };
    auto skin = [](const Settings& s) { return s.SkinEntry.str(); };
    auto popTo = [](const Settings& s) { return s.SendPopTo.str(); };
    const std::string dir260(260, 'd'), dir261(261, 'd'), dir300(300, 'd');
    struct Case {
        std::string stored;
        Field field;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"\"DefaultDirectory\"=\"" + dir300 + "\"", dirOf, downloads},
        {"\"DefaultDirectory\"=\"" + dir261 + "\"", dirOf, downloads},  // no room for its zero
        {"\"DefaultDirectory\"=\"" + dir260 + "\"", dirOf, dir260},
        {"\"DefaultDirectory\"=\"\"", dirOf, downloads},
        {"\"DefaultDirectory\"=\"/data/\"", dirOf, "/data/"},
        {"\"UserAgent\"=\"KESTOVA/1.0\"", agent, "Kestova/1.22"},
        {"\"UserAgent\"=\"kestova\"", agent, "Kestova/1.22"},
        {"\"UserAgent\"=\"\"", agent, "Kestova/1.22"},
        {"\"UserAgent\"=\"Mozilla/4.0 (compatible; MSIE 5.0; Windows 98)\"", agent,
         "Mozilla/4.0 (compatible; MSIE 5.0; Windows 98)"},
        {"\"UserAgent\"=\"Kestov\"", agent, "Kestov"},
        {"\"UserAgent\"=\"" + std::string(101, 'u') + "\"", agent, "Kestova/1.22"},
        {"\"ReestablishWinTitle\"=\"\"", [](const Settings& s) { return s.ReestablishWinTitle.str(); },
         "Reestablish Connection"},
        {"\"SendPop\"=dword:00000001\n\"SendPopTo\"=\"\"", popTo, "."},
        {"\"SendPop\"=dword:00000000\n\"SendPopTo\"=\"\"", popTo, ""},
        {"\"SendPopTo\"=\"OFFICE-PC\"", popTo, "OFFICE-PC"},
        {"\"SkinEntry\"=\"Blue\"", skin, "Blue"},
        {"\"SkinEntry\"=\"Green\"", skin, ""},
        {"\"SkinEntry\"=\"../Outside\"", skin, ""},
        {"\"VirusCheck\"=dword:00000001\n\"Scanner\"=\"\"",
         [](const Settings& s) { return std::to_string(s.VirusCheck) + s.Scanner.str(); }, "0"},
        {"\"VirusCheck\"=dword:00000001",
         [](const Settings& s) { return std::to_string(s.VirusCheck) + s.Scanner.str(); }, "0"},
        {"\"VirusCheck\"=dword:00000001\n\"Scanner\"=\"/usr/bin/clamscan\"",
         [](const Settings& s) { return std::to_string(s.VirusCheck) + s.Scanner.str(); },
         "1/usr/bin/clamscan"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored.substr(0, 60));
        WriteHive(c.stored);
        EXPECT_EQ(c.field(Loaded()), c.expected);
    }
}

TEST_F(SettingsStore, OlderValueNamesAreTakenOverAndRemoved) {
    WriteHive("\"NSFileType\"=\"iso mkv \"\n\"IntegrateNetscape\"=dword:00000001\n"
              "\"MaxError\"=dword:00000007");
    Settings s = Loaded();
    EXPECT_EQ(s.BSFileType, "iso mkv ");
    EXPECT_EQ(s.IntegrateBrowser, 1u);
    EXPECT_EQ(s.MaxError, 7);
    const std::string after = ReadFile(hive);
    EXPECT_EQ(after.find("NSFileType"), std::string::npos);
    EXPECT_EQ(after.find("IntegrateNetscape"), std::string::npos);
    EXPECT_NE(after.find("\"MaxError\"=dword:00000007"), std::string::npos);

    ASSERT_TRUE(SaveSettings(s));
    EXPECT_EQ(StoredText("Software\\Kestova\\Configure", "BSFileType"), "iso mkv ");

    // the current names win over the older ones, which then stay untouched
    WriteHive("\"NSFileType\"=\"iso \"\n\"BSFileType\"=\"zip \"\n"
              "\"IntegrateNetscape\"=dword:00000001\n\"IntegrateBrowser\"=dword:00000000");
    s = Loaded();
    EXPECT_EQ(s.BSFileType, "zip ");
    EXPECT_EQ(s.IntegrateBrowser, 0u);
    EXPECT_EQ(StoredText("Software\\Kestova\\Configure", "NSFileType"), "iso ");

    WriteHive("\"IntegrateNetscape\"=dword:00000002");  // found but no flag
    EXPECT_EQ(Loaded().IntegrateBrowser, 0u);
}

TEST_F(SettingsStore, DialupFieldsDependOnDialupNetworking) {
    const std::string stored =
        "\"AutoHangup\"=dword:00000001\n\"UseDialup\"=dword:00000001\n"
        "\"DialupEntry\"=\"Office\"\n\"AutoDialup\"=dword:00000001";
    WriteHive(stored);
    Settings s = Loaded();  // no dial-up networking
    EXPECT_EQ(s.AutoHangup, 0u);
    EXPECT_EQ(s.UseDialup, 0u);
    EXPECT_EQ(s.AutoDialup, 0u);
    EXPECT_FALSE(DialupNetworkingAvailable());
    EXPECT_FALSE(PhonebookEntryExists("Office"));

    SetDialupQueries({[] { return true; }, [](const std::string& n) { return n == "Office"; }});
    s = Loaded();
    EXPECT_EQ(s.AutoHangup, 1u);
    EXPECT_EQ(s.UseDialup, 1u);
    EXPECT_EQ(s.DialupEntry, "Office");
    EXPECT_EQ(s.AutoDialup, 1u);

    WriteHive("\"UseDialup\"=dword:00000001\n\"DialupEntry\"=\"Gone\"\n\"AutoDialup\"=dword:00000001");
    s = Loaded();
    EXPECT_EQ(s.DialupEntry, "");
    EXPECT_EQ(s.UseDialup, 0u);
    EXPECT_EQ(s.AutoDialup, 0u);

    WriteHive("\"UseDialup\"=dword:00000001\n\"AutoDialup\"=dword:00000001");  // no entry
    s = Loaded();
    EXPECT_EQ(s.UseDialup, 0u);
    EXPECT_EQ(s.AutoDialup, 0u);
}

TEST_F(SettingsStore, PlainPasswordOfAnOlderVersionIsEncipheredOnTheNextSave) {
    WriteHive("\"DialupPassword\"=\"open sesame\"\n\"DialupUser\"=\"ann\"", nullptr);
    Settings s = Loaded();
    EXPECT_EQ(s.DialupPassword, "open sesame");
    ASSERT_TRUE(SaveSettings(s));
    EXPECT_EQ(StoredText("Software\\Kestova\\Configure", "DialupPassword"),
              EncipherPassword("open sesame"));
    EXPECT_EQ(ReadFile(hive).find("open sesame"), std::string::npos);
    uint32_t version = 0;
    ASSERT_TRUE(StoredNumber("Software\\Kestova", "Version", version));
    EXPECT_EQ(version, 0x01220100u);
    EXPECT_EQ(Loaded().DialupPassword, "open sesame");

    // a "Version" that is no REG_DWORD counts as the oldest: the text is taken as it is
    WriteHive("\"DialupPassword\"=\"" + EncipherPassword("x") + "\"", "\"1.22\"");
    EXPECT_EQ(Loaded().DialupPassword, EncipherPassword("x"));

    // of the current version: deciphered; the longest password fits its cipher buffer
    const std::string longest(50, 'p');
    WriteHive("\"DialupPassword\"=\"" + EncipherPassword(longest) + "\"");
    EXPECT_EQ(Loaded().DialupPassword, longest);
    WriteHive("\"DialupPassword\"=\"not base64!\"");
    EXPECT_EQ(Loaded().DialupPassword, "");
}

TEST_F(SettingsStore, EveryFieldRoundTrips) {
    fs::create_directories(dir / "home" / "skin" / "Night");
    SetDialupQueries({[] { return true; }, [](const std::string& n) { return n == "Home ISP"; }});
    Settings s = DefaultSettings();
    s.MaxError = 200; s.AlwaysRetry = 1; s.RetryDelay = 300; s.ConnectTimeout = 10;
    s.ReceiveTimeout = 300; s.MaxRunJob = 10; s.BandWidthMode = 2; s.MaxBandWidth = 3000000;
    s.YieldBandWidth = 10000; s.BandWidth = 1234567; s.FileExistMode = 4; s.ShowAddJob = 0;
    s.AutoDelJob = 1; s.AutoStartJob = 1; s.StopNoResume = 1; s.UseCookie = 0;
    s.GetFileDate = 1; s.CreateNFO = 1; s.DefaultDirectory = "/media/\"usb\"\\stick/";
    s.DefaultAntNumber = 1; s.DefaultDoItNow = 0; s.StartAsTray = 1; s.AutoSave = 0;
    s.AutoSaveSize = 16; s.HistoScale = 200; s.HistoSample = 60; s.SendPop = 1;
    s.ShowNotify = 0; s.SendPopTo = "FRONTDESK"; s.UseSound = 1; s.AutoHangup = 1;
    s.AutoExit = 1; s.AutoShutdown = 1; s.AutoBackup = 0; s.MonitorClipboard = 0;
    s.CBFileType = "iso "; s.IntegrateBrowser = 1; s.BSFileType = "mkv webm ";
    s.OpenCancelledUrl = 1; s.VirusCheck = 1; s.Scanner = "/usr/bin/clamscan";
    s.ScannerArg = "--quiet \"%s\""; s.UseDefaultProxy = 1; s.UseDialup = 1;
    s.DialupEntry = "Home ISP"; s.DialupAttempt = 100; s.DialupWait = 60;
    s.DialupUser = "ann"; s.DialupPassword = "p\"a\\ss w\xC3\xB6rd"; s.AutoDialup = 1;
    s.ReestablishWinTitle = "Wieder verbinden"; s.ScheduleDownload = 1;
    s.ScheduleDownloadHour = 23; s.ScheduleDownloadMin = 59; s.ScheduleHangup = 1;
    s.ScheduleHangupHour = 0; s.ScheduleHangupMin = 30; s.WavebarBackColor = 0x102030;
    s.WavebarPlotBeginColor = 0x405060; s.WavebarPlotEndColor = 0x708090;
    s.WavebarScaleColor = 0xA0B0C0; s.SkinEntry = "Night";
    s.Referer = "https://example.org/?a=1&b=\"2\""; s.UserAgent = "Wget/1.21";
    s.ASCFileType = "txt csv ";
    BoxCatcher boxes;
    ASSERT_TRUE(SaveSettings(s));
    EXPECT_TRUE(boxes.texts.empty());
    Settings back = Loaded();
    EXPECT_EQ(back, s);
    EXPECT_EQ(back.DialupPassword, "p\"a\\ss w\xC3\xB6rd");
}

TEST_F(SettingsStore, AFailingWriteShowsTheNamedBoxAndStops) {
    WriteHive("\"MaxError\"=dword:00000007");
    const std::string before = ReadFile(hive);
    fs::create_directory(hive + ".lock");  // the hive cannot be saved any more
    {
        BoxCatcher boxes;
        EXPECT_FALSE(SaveSettings(DefaultSettings()));
        ASSERT_EQ(boxes.texts.size(), 1u);
        EXPECT_EQ(boxes.texts[0], "RegSetValueEx [5]");
    }
    EXPECT_EQ(ReadFile(hive), before);
    EXPECT_EQ(Loaded().MaxError, 7);

    // no Configure key and a folder that cannot be made
    std::ofstream(dir / "file") << "";
    setenv("KESTOVA_REGISTRY", (dir / "file" / "user.reg").c_str(), 1);
    BoxCatcher boxes;
    EXPECT_FALSE(SaveSettings(DefaultSettings()));
    ASSERT_EQ(boxes.texts.size(), 1u);
    EXPECT_EQ(boxes.texts[0], "RegCreateKeyEx [3]");
    EXPECT_EQ(Loaded(), DefaultSettings());  // loading never fails
}

}  // namespace
}  // namespace kv
