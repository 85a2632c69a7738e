#include "platform/ini.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace kv {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

// A language-file-like fixture: 8-bit text, CR LF, LF and CR line ends, comments,
// duplicates and damaged lines.
const std::string kFixture =
    "; a comment before anything\r\n"
    "orphan=before any section\r\n"
    "\r\n"
    "[Info]\r\n"
    "Language = Espa\xF1ol \r\n"
    "[String]\r\n"
    "&File=&Archivo\r\n"
    "Display %s=Mostrar %s\r\n"
    "  Open...  =  Abrir...  \r\n"
    "Quoted=\"  padded  \"\r\n"
    "Single='x'\r\n"
    "Lonely=\"abc\r\n"
    "Mismatch=\"abc'\r\n"
    "Empty=\r\n"
    "NoEquals\r\n"
    "  ;Commented=yes\r\n"
    "Dup=first\r\n"
    "dup=second\r\n"
    "a=b=c\r\n"
    "\t\r\n"
    "[ string ]\r\n"
    "Late=only in the second String section\r\n"
    "Dup=third\r\n"
    "[Numbers]\n"
    "plain=42\n"
    "neg=-1\n"
    "plus=+7\n"
    "wrap=4294967297\n"
    "negwrap=-4294967297\n"
    "trailing=42A9\n"
    "letters=B42\n"
    "hex=0x10\n"
    "empty=\n"
    "spaced= 17 \n"
    "quoted=\"5\"\r"
    "[Unclosed\r"
    "inside=yes\r"
    "[]\r\n"
    "=no key\r\n"
    "[Last] ; trailing text\r\n"
    "end=\x1A";

class IniTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("kv_ini_test_" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string Write(const std::string& name, const std::string& content) {
        const fs::path p = dir_ / name;
        std::ofstream(p, std::ios::binary) << content;
        return p.string();
    }
    fs::path dir_;
};

TEST_F(IniTest, LookupsFollowProfileStringRules) {
    const IniFile ini = IniFile::Load(Write("es.ini", kFixture));
    ASSERT_TRUE(ini.IsLoaded());
    EXPECT_EQ(ini.Encoding(), IniEncoding::Bytes);
    const auto kAll = IniFile::kNoLimit;
    struct Case {
        const char* section;
        const char* key;
        const char* def;
        std::size_t size;
        std::string expected;
    } cases[] = {
        {"info", "LANGUAGE", "", kAll, "Espa\xF1ol"},  // no case, blanks dropped, bytes kept
        {"String", "&file", "", kAll, "&Archivo"},
        {"STRING", "display %S", "", kAll, "Mostrar %s"},
        {"String", "Open...", "", kAll, "Abrir..."},
        {"  String ", "  open...  ", "", kAll, "Abrir..."},  // requested names trimmed
        {"String", "Quoted", "", kAll, "  padded  "},       // quotes keep inner blanks
        {"String", "Single", "", kAll, "x"},
        {"String", "Lonely", "", kAll, "\"abc"},            // no closing quote: kept
        {"String", "Mismatch", "", kAll, "\"abc'"},
        {"String", "Empty", "def", kAll, ""},               // present but empty: not the default
        {"String", "NoEquals", "def", kAll, "def"},         // a line without "=" is no key
        {"String", ";Commented", "def", kAll, "def"},
        {"String", "Dup", "", kAll, "first"},               // first line of a key wins
        {"String", "a", "", kAll, "b=c"},                   // the key ends at the first "="
        {"String", "Late", "def", kAll, "def"},             // only the first [String] is searched
        {"", "orphan", "def", kAll, "def"},                 // lines before any section
        {"", "", "def", kAll, "no key"},                    // "[]" and "=no key"
        {"Unclosed", "inside", "", kAll, "yes"},
        {"Last", "end", "def", kAll, ""},                   // Ctrl-Z counts as a blank
        {"Nowhere", "x", "fallback  ", kAll, "fallback"},   // default loses trailing blanks
        {"Nowhere", "x", " lead", kAll, " lead"},
        {"String", "Nothing", "", kAll, ""},
        // Buffer sizes: at most size - 1 bytes, for values and defaults alike.
        {"String", "&File", "", 9, "&Archivo"},
        {"String", "&File", "", 8, "&Archiv"},
        {"String", "&File", "", 2, "&"},
        {"String", "&File", "", 1, ""},
        {"String", "&File", "", 0, ""},
        {"String", "Quoted", "", 4, "  p"},
        {"Nowhere", "x", "default", 4, "def"},
        {"Info", "Language", "", 50, "Espa\xF1ol"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ini.GetString(c.section, c.key, c.def, c.size), c.expected)
            << "[" << c.section << "] " << c.key << " size " << c.size;
    }
    EXPECT_TRUE(ini.HasKey("string", "EMPTY"));
    EXPECT_FALSE(ini.HasKey("String", "NoEquals"));
    EXPECT_FALSE(ini.HasKey("String", "Late"));
}

TEST_F(IniTest, CallersBufferIsFilledLikeTheSystemFunction) {
    const std::string path = Write("es.ini", kFixture);
    const IniFile ini = IniFile::Load(path);
    char buf[16];
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(ini.GetString("String", "&File", "d", buf, 0), 0u);
    EXPECT_EQ(buf[0], 'Z');  // size 0 leaves the buffer alone
    EXPECT_EQ(ini.GetString("String", "&File", "d", buf, 5), 4u);
    EXPECT_STREQ(buf, "&Arc");
    EXPECT_EQ(ini.GetString("String", "&File", "d", buf, 1), 0u);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(ini.GetString("String", "missing", "d  ", buf, sizeof buf), 1u);
    EXPECT_STREQ(buf, "d");
    // The one-shot forms read the same file.
    EXPECT_EQ(GetPrivateProfileString("STRING", "display %s", "", buf, sizeof buf, path), 10u);
    EXPECT_STREQ(buf, "Mostrar %s");
    EXPECT_EQ(GetPrivateProfileString("Info", "Language", "", 5, path), "Espa");
    EXPECT_EQ(GetPrivateProfileInt("numbers", "PLAIN", 0, path), 42);
}

TEST_F(IniTest, IntegersParseAsGetPrivateProfileInt) {
    const IniFile ini = IniFile::Load(Write("es.ini", kFixture));
    struct Case {
        const char* key;
        int def;
        int expected;
    } cases[] = {
        {"plain", 0, 42},
        {"neg", 0, -1},                  // the unsigned result 0xFFFFFFFF
        {"plus", 0, 7},
        {"wrap", 0, 1},                  // modulo 2^32
        {"negwrap", 0, -1},
        {"trailing", 0, 42},             // digits up to the first other character
        {"letters", 9, 0},               // a value without digits is 0, not the default
        {"hex", 9, 0},                   // decimal only
        {"empty", 9, 9},                 // an empty value gives the default
        {"missing", -5, -5},
        {"spaced", 0, 17},
        {"quoted", 0, 5},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ini.GetInt("Numbers", c.key, c.def), c.expected) << c.key;
}

TEST_F(IniTest, SectionsAndKeysEnumerateAsWritten) {
    const IniFile ini = IniFile::Load(Write("es.ini", kFixture));
    EXPECT_EQ(ini.SectionNames(), (std::vector<std::string>{"Info", "String", "string",
                                                             "Numbers", "Unclosed", "", "Last"}));
    EXPECT_EQ(ini.KeyNames("STRING"),
              (std::vector<std::string>{"&File", "Display %s", "Open...", "Quoted", "Single",
                                        "Lonely", "Mismatch", "Empty", "Dup", "dup", "a"}));
    EXPECT_TRUE(ini.KeyNames("Nowhere").empty());
}

TEST_F(IniTest, MissingOrUnreadableFilesGiveDefaults) {
    const std::string missing = (dir_ / "none.ini").string();
    const std::string paths[] = {missing, dir_.string(), ""};  // no file, a folder, no name
    for (const auto& p : paths) {
        const IniFile ini = IniFile::Load(p);
        EXPECT_FALSE(ini.IsLoaded()) << p;
        EXPECT_EQ(ini.GetString("Info", "Language", "English"), "English") << p;
        EXPECT_EQ(ini.GetInt("Info", "Count", 3), 3) << p;
        EXPECT_TRUE(ini.SectionNames().empty()) << p;
        char buf[8] = "x";
        EXPECT_EQ(GetPrivateProfileString("Info", "Language", "abc", buf, sizeof buf, p), 3u);
        EXPECT_STREQ(buf, "abc");
        EXPECT_EQ(GetPrivateProfileInt("Info", "Count", 4, p), 4);
    }
    const IniFile empty = IniFile::Load(Write("empty.ini", ""));
    EXPECT_TRUE(empty.IsLoaded());
    EXPECT_EQ(empty.GetString("Info", "Language", "English"), "English");
}

TEST_F(IniTest, DamagedContentNeverBreaksLaterSections) {
    // Binary noise (no "[" so that it starts no section, zero bytes included), then a cut
    // value without its line end.
    std::string noise;
    std::uint32_t x = 12345;
    for (int i = 0; i < 65536; ++i) {
        x = x * 1103515245u + 12345u;
        char c = static_cast<char>(x >> 24);
        noise.push_back(c == '[' ? ' ' : c);
    }
    const IniFile ini = IniFile::Load(
        Write("damaged.ini", noise + "\n[Info]\nZero=ab\0cd\nLanguage=Fran"s));
    EXPECT_EQ(ini.SectionNames(), std::vector<std::string>{"Info"});
    EXPECT_EQ(ini.GetString("Info", "Language", ""), "Fran");
    EXPECT_EQ(ini.GetString("Info", "Zero", ""), "ab");  // a value ends at a zero byte
    EXPECT_EQ(ini.GetString("Info", "Missing", "d"), "d");
}

TEST_F(IniTest, ByteOrderMarksAreHonoured) {
    // UTF-8 with a mark: the mark is skipped, the bytes stay UTF-8.
    const IniFile utf8 = IniFile::Load(
        Write("fr.ini", "\xEF\xBB\xBF[Info]\r\nLanguage=Fran\xC3\xA7" "ais\r\n"));
    EXPECT_EQ(utf8.Encoding(), IniEncoding::Utf8Bom);
    EXPECT_EQ(utf8.GetString("Info", "Language"), "Fran\xC3\xA7" "ais");

    // UTF-16 in both byte orders, with a character outside the basic plane.
    const std::u16string text = u"[Info]\r\nLanguage=Fran\u00E7ais \U0001F600\r\n";
    for (bool bigEndian : {false, true}) {
        std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
        for (char16_t u : text) {
            const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
            bytes += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
        }
        const IniFile utf16 = IniFile::Load(Write("u16.ini", bytes));
        EXPECT_EQ(utf16.Encoding(), IniEncoding::Utf16) << bigEndian;
        EXPECT_EQ(utf16.GetString("info", "language"), "Fran\xC3\xA7" "ais \xF0\x9F\x98\x80")
            << bigEndian;
    }
}

}  // namespace
}  // namespace kv
