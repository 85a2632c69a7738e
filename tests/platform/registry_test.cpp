#include "support/boxcatcher.h"
#include "platform/boxes.h"
#include "platform/registry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kv {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const fs::path& p, const std::string& text) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << text;
}


class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("kvreg-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        hive = (dir / "user.reg").string();
    }
    void TearDown() override { fs::remove_all(dir); }

    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path dir;
    std::string hive;
};

std::string AllBytes(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s.push_back(char(i * 7 + 3));
    return s;
}

TEST_F(Registry, EveryTypeRoundTripsThroughTheFile) {
    const std::string tricky = "say \"hi\" to c:\\temp\\ and \\\"both\\\" \xC3\xA9\xE9";
    const std::string lines = "first line\r\nsecond\nthird";
    const std::string longBinary = AllBytes(300);
    const std::string multi("a\0b\0\0", 5);
    {
        HKey root = OpenHiveFile(hive);
        HKey key;
        ASSERT_EQ(RegCreateKey(root, "Software\\Kestova\\Configure", key), ERROR_SUCCESS);
        EXPECT_EQ(RegSetString(key, "Tricky", tricky), ERROR_SUCCESS);
        EXPECT_EQ(RegSetString(key, "Lines", lines), ERROR_SUCCESS);
        EXPECT_EQ(RegSetString(key, "Empty", ""), ERROR_SUCCESS);
        EXPECT_EQ(RegSetString(key, "", "the default"), ERROR_SUCCESS);
        EXPECT_EQ(RegSetString(key, "Name \"with\" \\quotes", "x"), ERROR_SUCCESS);
        EXPECT_EQ(RegSetDword(key, "Small", 0xabcd), ERROR_SUCCESS);
        EXPECT_EQ(RegSetDword(key, "Max", 0xFFFFFFFFu), ERROR_SUCCESS);
        EXPECT_EQ(RegSetBinary(key, "Long", longBinary), ERROR_SUCCESS);
        EXPECT_EQ(RegSetBinary(key, "NoBytes", ""), ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueEx(key, "Multi", 7, multi.data(), uint32_t(multi.size())),
                  ERROR_SUCCESS);
        const char three[3] = {1, 2, 3};
        EXPECT_EQ(RegSetValueEx(key, "OddDword", REG_DWORD, three, 3), ERROR_SUCCESS);
        HKey empty;
        ASSERT_EQ(RegCreateKey(root, "Software\\Kestova\\EmptyKey", empty), ERROR_SUCCESS);
        EXPECT_EQ(RegCloseKey(empty), ERROR_SUCCESS);
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    }

    const std::string text = ReadFile(hive);
    EXPECT_EQ(text.rfind("REGEDIT4\n\n", 0), 0u);
    EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\Kestova\\Configure]\n"), std::string::npos);
    EXPECT_NE(text.find("\"Small\"=dword:0000abcd\n"), std::string::npos);
    EXPECT_NE(text.find("@=\"the default\"\n"), std::string::npos);
    EXPECT_NE(text.find("\"Name \\\"with\\\" \\\\quotes\"=\"x\"\n"), std::string::npos);
    EXPECT_NE(text.find("\"Tricky\"=\"say \\\"hi\\\" to c:\\\\temp\\\\"), std::string::npos);
    EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\Kestova\\EmptyKey]\n"), std::string::npos);
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) EXPECT_LE(line.size(), 80u) << line;

    // a second, fresh view reads everything back
    HKey root = OpenHiveFile(hive);
    HKey key;
    ASSERT_EQ(RegOpenKey(root, "Software\\Kestova\\Configure", key), ERROR_SUCCESS);
    std::string s;
    EXPECT_EQ(RegQueryString(key, "Tricky", s), ERROR_SUCCESS);
    EXPECT_EQ(s, tricky);
    EXPECT_EQ(RegQueryString(key, "Lines", s), ERROR_SUCCESS);
    EXPECT_EQ(s, lines);
    EXPECT_EQ(RegQueryString(key, "Empty", s), ERROR_SUCCESS);
    EXPECT_EQ(s, "");
    EXPECT_EQ(RegQueryString(key, "", s), ERROR_SUCCESS);
    EXPECT_EQ(s, "the default");
    EXPECT_EQ(RegQueryString(key, "name \"WITH\" \\quotes", s), ERROR_SUCCESS);
    EXPECT_EQ(s, "x");
    uint32_t d = 0;
    EXPECT_EQ(RegQueryDword(key, "Small", d), ERROR_SUCCESS);
    EXPECT_EQ(d, 0xabcdu);
    EXPECT_EQ(RegQueryDword(key, "Max", d), ERROR_SUCCESS);
    EXPECT_EQ(d, 0xFFFFFFFFu);
    uint32_t type = 0;
    EXPECT_EQ(RegQueryBinary(key, "Long", s, &type), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(s, longBinary);
    EXPECT_EQ(RegQueryBinary(key, "NoBytes", s, &type), ERROR_SUCCESS);
    EXPECT_EQ(s, "");
    EXPECT_EQ(RegQueryBinary(key, "Multi", s, &type), ERROR_SUCCESS);
    EXPECT_EQ(type, 7u);
    EXPECT_EQ(s, multi);
    EXPECT_EQ(RegQueryBinary(key, "OddDword", s, &type), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(s, std::string("\1\2\3", 3));
    EXPECT_EQ(RegQueryDword(key, "OddDword", d), ERROR_UNSUPPORTED_TYPE);
    HKey empty;
    EXPECT_EQ(RegOpenKey(root, "Software\\Kestova\\EmptyKey", empty), ERROR_SUCCESS);

    // values keep the order they were first written in
    std::vector<std::string> names;
    std::string name;
    for (uint32_t i = 0; RegEnumValue(key, i, name) == ERROR_SUCCESS; ++i) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"Tricky", "Lines", "Empty", "",
                                               "Name \"with\" \\quotes", "Small", "Max", "Long",
                                               "NoBytes", "Multi", "OddDword"}));
}

TEST_F(Registry, HandWrittenFileLoads) {
    fs::copy_file(fs::path(KV_FIXTURES) / "registry" / "handwritten.reg", hive);
    BoxCatcher boxes;
    HKey key;
    HKey root = OpenHiveFile(hive);
    ASSERT_EQ(RegOpenKey(root, "software\\KESTOVA\\configure", key), ERROR_SUCCESS);
    uint32_t d = 0;
    EXPECT_EQ(RegQueryDword(key, "MaxError", d), ERROR_SUCCESS);
    EXPECT_EQ(d, 0x14u);
    std::string s;
    EXPECT_EQ(RegQueryString(key, "UserAgent", s), ERROR_SUCCESS);
    EXPECT_EQ(s, "Mozilla/4.0 (compatible; MSIE 5.0; Windows 98)");
    EXPECT_EQ(RegQueryString(key, "Scanner", s), ERROR_SUCCESS);
    EXPECT_EQ(s, "c:\\tools\\scan.exe");
    EXPECT_EQ(RegQueryString(key, "Quoted", s), ERROR_SUCCESS);
    EXPECT_EQ(s, "say \"hi\"");
    EXPECT_EQ(RegQueryString(key, "Latin1", s), ERROR_SUCCESS);
    EXPECT_EQ(s, "Caf\xe9");
    EXPECT_EQ(RegQueryString(key, "", s), ERROR_SUCCESS);
    EXPECT_EQ(s, "default value");

    HKey kestova;
    ASSERT_EQ(RegOpenKey(root, "Software\\Kestova", kestova), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryDword(kestova, "Version", d), ERROR_SUCCESS);
    EXPECT_EQ(d, 0x01220100u);

    HKey layout;
    ASSERT_EQ(RegOpenKey(root, "Software\\Kestova\\Layout", layout), ERROR_SUCCESS);
    std::string expected;
    for (int i = 1; i <= 0x20; ++i) expected.push_back(char(i));
    EXPECT_EQ(RegQueryBinary(layout, "Band0", s), ERROR_SUCCESS);
    EXPECT_EQ(s, expected);
    uint32_t type = 0;
    EXPECT_EQ(RegQueryBinary(layout, "Multi", s, &type), ERROR_SUCCESS);
    EXPECT_EQ(type, 7u);
    EXPECT_EQ(s, std::string("a\0b\0\0", 5));
    EXPECT_EQ(RegQueryBinary(layout, "Empty", s), ERROR_SUCCESS);
    EXPECT_EQ(s, "");

    HKey proxy;
    EXPECT_EQ(RegOpenKey(root, "Software\\Kestova\\Proxy\\0", proxy), ERROR_SUCCESS);
    EXPECT_TRUE(boxes.texts.empty());
    EXPECT_EQ(Files(), (std::vector<std::string>{"user.reg"}));  // reading writes nothing
}

// A hive of three keys; the file is cut at various points and must keep what is whole.
TEST_F(Registry, CutOffFileKeepsCompleteKeysReportsOnceAndKeepsACopy) {
    {
        HKey root = OpenHiveFile(hive);
        HKey a, b, c;
        ASSERT_EQ(RegCreateKey(root, "Software\\A", a), ERROR_SUCCESS);
        RegSetString(a, "Text", "alpha");
        RegSetDword(a, "Number", 1);
        ASSERT_EQ(RegCreateKey(root, "Software\\B", b), ERROR_SUCCESS);
        RegSetString(b, "Text", "bravo");
        RegSetBinary(b, "Blob", AllBytes(60));
        ASSERT_EQ(RegCreateKey(root, "Software\\C", c), ERROR_SUCCESS);
        RegSetString(c, "Text", "charlie");
        RegSetDword(c, "Number", 0x12345678);
    }
    const std::string full = ReadFile(hive);

    struct Cut {
        const char* what;
        std::string at;        // the file is cut right after this text...
        size_t keep;           // ...minus this many characters
        bool bText, bBlob;     // what of key B survives
    };
    const std::vector<Cut> cuts = {
        {"inside B's text", "\"Text\"=\"bra", 0, false, false},
        {"inside B's blob, after a comma", "\"Blob\"=hex:03,0a,", 0, true, false},
        {"inside B's blob, inside a byte", "\"Blob\"=hex:03,0a,", 2, true, false},
        {"after B's continuation mark", "\\\n", 1, true, false},
        {"inside C's section name", "[HKEY_CURRENT_USER\\Software\\C", 0, true, true},
        {"inside C's dword", "\"Number\"=dword:1234", 0, true, true},
    };
    for (const Cut& cut : cuts) {
        SCOPED_TRACE(cut.what);
        fs::remove_all(dir);
        fs::create_directories(dir);
        size_t pos = full.find(cut.at, cut.what[7] == 'C' ? full.find("Software\\C") - 20
                                                             : full.find("Software\\B"));
        ASSERT_NE(pos, std::string::npos);
        const std::string damaged = full.substr(0, pos + cut.at.size() - cut.keep);
        WriteFile(hive, damaged);

        BoxCatcher boxes;
        HKey root = OpenHiveFile(hive);
        HKey a, b;
        ASSERT_EQ(RegOpenKey(root, "Software\\A", a), ERROR_SUCCESS);
        std::string s;
        EXPECT_EQ(RegQueryString(a, "Text", s), ERROR_SUCCESS);
        EXPECT_EQ(s, "alpha");
        ASSERT_EQ(RegOpenKey(root, "Software\\B", b), ERROR_SUCCESS);
        EXPECT_EQ(RegQueryString(b, "Text", s), cut.bText ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(RegQueryBinary(b, "Blob", s), cut.bBlob ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
        if (cut.bBlob) {
            EXPECT_EQ(s, AllBytes(60));
        }
        HKey c;
        if (RegOpenKey(root, "Software\\C", c) == ERROR_SUCCESS) {
            uint32_t d = 0;  // a cut dword is never read as a smaller number
            EXPECT_EQ(RegQueryDword(c, "Number", d), ERROR_FILE_NOT_FOUND);
        }

        // said once, with a copy of the damaged file beside the hive
        ASSERT_EQ(boxes.texts.size(), 1u);
        EXPECT_NE(boxes.texts[0].find("damaged"), std::string::npos);
        std::vector<std::string> files = Files();
        ASSERT_EQ(files.size(), 3u);  // user.reg, user.reg.damaged-..., user.reg.lock
        EXPECT_EQ(files[1].rfind("user.reg.damaged-", 0), 0u);
        EXPECT_NE(boxes.texts[0].find(files[1]), std::string::npos);
        EXPECT_EQ(ReadFile(dir / files[1]), damaged);
        struct stat st {};
        ASSERT_EQ(::stat((dir / files[1]).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);

        // the hive now holds what was read, and further views load it without a word
        HKey other = OpenHiveFile(hive);
        HKey a2;
        EXPECT_EQ(RegOpenKey(other, "Software\\A", a2), ERROR_SUCCESS);
        EXPECT_EQ(RegQueryString(a, "Text", s), ERROR_SUCCESS);
        EXPECT_EQ(boxes.texts.size(), 1u);
    }
}

TEST_F(Registry, LinesThatAreNoEntriesLoseOnlyThemselves) {
    WriteFile(hive,
              "REGEDIT4\n\n"
              "[HKEY_CURRENT_USER\\Software\\A]\n"
              "\"One\"=dword:00000001\n"
              "this is not an entry\n"
              "\"Two\"=\"no closing quote\n"
              "\"Three\"=dword:00000003\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Other]\n"
              "\"Lost\"=dword:00000009\n"
              "[HKEY_CURRENT_USER\\Software\\B]\n"
              "\"Four\"=hex:01,,02\n"
              "\"Five\"=dword:00000005\n");
    BoxCatcher boxes;
    HKey root = OpenHiveFile(hive);
    HKey a, b;
    ASSERT_EQ(RegOpenKey(root, "Software\\A", a), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKey(root, "Software\\B", b), ERROR_SUCCESS);
    uint32_t d = 0;
    EXPECT_EQ(RegQueryDword(a, "One", d), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryDword(a, "Three", d), ERROR_SUCCESS);
    EXPECT_EQ(d, 3u);
    EXPECT_EQ(RegQueryDword(b, "Five", d), ERROR_SUCCESS);
    std::string s;
    EXPECT_EQ(RegQueryString(a, "Two", s), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryBinary(b, "Four", s), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(boxes.texts.size(), 1u);
    EXPECT_NE(boxes.texts[0].find("line 5"), std::string::npos) << boxes.texts[0];
}

TEST_F(Registry, SavesOnCloseAtomicallyWithMode0600AndCreatesFolders) {
    const fs::path nested = dir / "deep" / "er" / "user.reg";
    HKey root = OpenHiveFile(nested.string());
    HKey key;
    ASSERT_EQ(RegCreateKey(root, "Software\\Kestova\\Configure", key), ERROR_SUCCESS);
    for (int i = 0; i < 80; ++i)
        ASSERT_EQ(RegSetDword(key, "Value" + std::to_string(i), uint32_t(i)), ERROR_SUCCESS);
    EXPECT_FALSE(fs::exists(nested));  // nothing written before the key is closed
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    ASSERT_TRUE(fs::exists(nested));
    EXPECT_NE(ReadFile(nested).find("\"Value79\"=dword:0000004f"), std::string::npos);
    struct stat st {};
    ASSERT_EQ(::stat(nested.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const ino_t first = st.st_ino;

    // a second save replaces the file by rename (new inode), leaving no temporary file
    ASSERT_EQ(RegOpenKey(root, "Software\\Kestova\\Configure", key), ERROR_SUCCESS);
    ASSERT_EQ(RegSetString(key, "Value0", "text now"), ERROR_SUCCESS);
    ASSERT_EQ(RegFlushKey(key), ERROR_SUCCESS);
    ASSERT_EQ(::stat(nested.c_str(), &st), 0);
    EXPECT_NE(st.st_ino, first);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(nested.parent_path()))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"user.reg", "user.reg.lock"}));
}

TEST_F(Registry, SaveFollowsASymbolicLinkedHive) {
    const fs::path real = dir / "real.reg";
    WriteFile(real, "REGEDIT4\n\n[HKEY_CURRENT_USER\\K]\n\"V\"=dword:00000001\n");
    fs::create_symlink(real, hive);
    {
        HKey root = OpenHiveFile(hive);
        HKey key;
        ASSERT_EQ(RegOpenKey(root, "K", key), ERROR_SUCCESS);
        ASSERT_EQ(RegSetDword(key, "W", 2), ERROR_SUCCESS);
    }
    EXPECT_TRUE(fs::is_symlink(hive));
    EXPECT_NE(ReadFile(real).find("\"W\"=dword:00000002"), std::string::npos);
}

TEST_F(Registry, SubkeysEnumerateInTheSystemsOrderAndNamesIgnoreCase) {
    HKey root = OpenHiveFile(hive);
    HKey parent;
    ASSERT_EQ(RegCreateKey(root, "Software\\Kestova\\Category", parent), ERROR_SUCCESS);
    for (const char* name : {"b", "_x", "C10", "A", "c2", "a1", "10", "2"}) {
        HKey k;
        ASSERT_EQ(RegCreateKey(parent, name, k), ERROR_SUCCESS);
    }
    HKey same;
    ASSERT_EQ(RegCreateKey(parent, "B", same), ERROR_SUCCESS);  // the existing "b"
    RegSetDword(same, "Mark", 1);
    RegCloseKey(same);

    auto names = [&](const HKey& k) {
        std::vector<std::string> out;
        std::string n;
        uint32_t i = 0;
        for (; RegEnumKey(k, i, n) == ERROR_SUCCESS; ++i) out.push_back(n);
        EXPECT_EQ(RegEnumKey(k, i, n), ERROR_NO_MORE_ITEMS);
        return out;
    };
    const std::vector<std::string> expected = {"10", "2", "A", "a1", "b", "C10", "c2", "_x"};
    EXPECT_EQ(names(parent), expected);
    RegKeyInfo info;
    ASSERT_EQ(RegQueryInfoKey(parent, info), ERROR_SUCCESS);
    EXPECT_EQ(info.SubKeys, 8u);
    EXPECT_EQ(info.MaxSubKeyLength, 3u);
    RegCloseKey(parent);

    // the same order after a fresh load, names keep their case, lookups ignore it
    HKey other = OpenHiveFile(hive);
    HKey reread;
    ASSERT_EQ(RegOpenKey(other, "SOFTWARE\\kestova\\CATEGORY", reread), ERROR_SUCCESS);
    EXPECT_EQ(names(reread), expected);
    HKey b;
    ASSERT_EQ(RegOpenKey(reread, "B", b), ERROR_SUCCESS);
    uint32_t d = 0;
    EXPECT_EQ(RegQueryDword(b, "mark", d), ERROR_SUCCESS);

    // deleting the first subkey until none is left
    int deleted = 0;
    for (std::string n; RegEnumKey(reread, 0, n) == ERROR_SUCCESS; ++deleted)
        ASSERT_EQ(RegDeleteKey(reread, n), ERROR_SUCCESS);
    EXPECT_EQ(deleted, 8);
    EXPECT_EQ(RegQueryDword(b, "Mark", d), ERROR_KEY_DELETED);
}

TEST_F(Registry, ResultCodesFollowTheSystem) {
    HKey root = OpenHiveFile(hive);
    HKey key;
    EXPECT_EQ(RegOpenKey(root, "Software\\Missing", key), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(key.IsOpen());
    EXPECT_EQ(RegCreateKey(root, "Software\\\\Twice", key), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKey(root, std::string(256, 'k'), key), ERROR_INVALID_PARAMETER);
    ASSERT_EQ(RegCreateKey(root, "Software\\Kestova", key), ERROR_SUCCESS);
    EXPECT_EQ(key.Path(), "Software\\Kestova");
    ASSERT_EQ(RegSetString(key, "Text", "abc"), ERROR_SUCCESS);

    std::string s;
    EXPECT_EQ(RegQueryString(key, "Text", s, 4), ERROR_SUCCESS);  // "abc" and its zero
    EXPECT_EQ(s, "abc");
    s = "old";
    EXPECT_EQ(RegQueryString(key, "Text", s, 3), ERROR_MORE_DATA);
    EXPECT_EQ(s, "old");
    EXPECT_EQ(RegQueryString(key, "Nothing", s, 100), ERROR_FILE_NOT_FOUND);

    uint32_t type = 0, size = 0;
    EXPECT_EQ(RegQueryValueEx(key, "Text", &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, 4u);
    char buf[8] = {};
    size = 2;
    EXPECT_EQ(RegQueryValueEx(key, "Text", nullptr, buf, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 4u);
    size = sizeof buf;
    EXPECT_EQ(RegQueryValueEx(key, "Text", nullptr, buf, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::string(buf, size), std::string("abc\0", 4));
    // a text written without its zero is kept with one
    ASSERT_EQ(RegSetValueEx(key, "NoZero", REG_SZ, "xy", 2), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueEx(key, "NoZero", nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 3u);

    uint32_t d = 0;
    EXPECT_EQ(RegQueryDword(key, "Text", d), ERROR_UNSUPPORTED_TYPE);
    ASSERT_EQ(RegSetDword(key, "Number", 7), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryString(key, "Number", s), ERROR_UNSUPPORTED_TYPE);
    EXPECT_EQ(RegSetString(key, "Bad\nName", "x"), ERROR_INVALID_PARAMETER);

    EXPECT_EQ(RegDeleteValue(key, "number"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValue(key, "Number"), ERROR_FILE_NOT_FOUND);
    std::string name;
    EXPECT_EQ(RegEnumValue(key, 2, name), ERROR_NO_MORE_ITEMS);

    HKey child;
    ASSERT_EQ(RegCreateKey(key, "Proxy\\0", child), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKey(key, "Proxy"), ERROR_ACCESS_DENIED);  // it has a subkey
    EXPECT_EQ(RegDeleteKey(key, "Nothing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteTree(key, "Proxy"), ERROR_SUCCESS);
    EXPECT_EQ(RegSetDword(child, "X", 1), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(child), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(child), ERROR_INVALID_HANDLE);
}

TEST_F(Registry, AHiveThatCannotBeWrittenRefusesTheFirstChange) {
    WriteFile(hive, "REGEDIT4\n\n[HKEY_CURRENT_USER\\K]\n\"V\"=dword:00000001\n");
    const std::string before = ReadFile(hive);
    fs::create_directory(hive + ".lock");  // the save lock cannot be taken
    HKey root = OpenHiveFile(hive);
    HKey key;
    ASSERT_EQ(RegOpenKey(root, "K", key), ERROR_SUCCESS);  // opening changes nothing
    EXPECT_EQ(RegSetDword(key, "V", 2), ERROR_ACCESS_DENIED);
    uint32_t d = 0;
    EXPECT_EQ(RegQueryDword(key, "V", d), ERROR_SUCCESS);
    EXPECT_EQ(d, 1u);  // the refused write changed nothing
    HKey created;
    EXPECT_EQ(RegCreateKey(root, "New", created), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(ReadFile(hive), before);

    // a hive whose folder cannot be made
    WriteFile(dir / "file", "");
    HKey nowhere = OpenHiveFile((dir / "file" / "user.reg").string());
    EXPECT_EQ(RegCreateKey(nowhere, "Software", created), ERROR_PATH_NOT_FOUND);
}

TEST_F(Registry, TwoViewsOfOneFileKeepEachOthersChanges) {
    HKey first = OpenHiveFile(hive);
    HKey second = OpenHiveFile(hive);
    HKey k1, k2;
    ASSERT_EQ(RegCreateKey(first, "Software\\Kestova\\Configure", k1), ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKey(second, "Software\\Quelt Internet", k2), ERROR_SUCCESS);
    RegSetDword(k1, "MaxRunJob", 3);
    RegSetString(k1, "Shared", "from the first");
    RegSetString(k2, "atstart", "home");
    RegSetString(k2, "Shared", "from the second");
    ASSERT_EQ(RegCloseKey(k1), ERROR_SUCCESS);
    // the second saves after the first without having read its save
    ASSERT_EQ(RegCloseKey(k2), ERROR_SUCCESS);

    // each sees the other's key (read again because the file changed)
    HKey a, b;
    ASSERT_EQ(RegOpenKey(first, "Software\\Quelt Internet", a), ERROR_SUCCESS);
    std::string s;
    EXPECT_EQ(RegQueryString(a, "atstart", s), ERROR_SUCCESS);
    EXPECT_EQ(s, "home");
    EXPECT_EQ(RegQueryString(a, "Shared", s), ERROR_SUCCESS);
    EXPECT_EQ(s, "from the second");  // the later save wins for one value
    ASSERT_EQ(RegOpenKey(second, "Software\\Kestova\\Configure", b), ERROR_SUCCESS);
    uint32_t d = 0;
    EXPECT_EQ(RegQueryDword(b, "MaxRunJob", d), ERROR_SUCCESS);
    EXPECT_EQ(d, 3u);

    // a deletion by one view reaches the other
    ASSERT_EQ(RegOpenKey(second, "Software\\Kestova", b), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKey(b, "Configure"), ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(b), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKey(first, "Software\\Kestova\\Configure", a), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, ProcessesSavingAtOnceLoseNothing) {
    constexpr int kChildren = 4;
    constexpr int kRounds = 15;
    std::vector<pid_t> children;
    for (int c = 0; c < kChildren; ++c) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int failures = 0;
            {
                HKey root = OpenHiveFile(hive);
                for (int r = 0; r < kRounds; ++r) {
                    HKey key;
                    std::string path = "Software\\P" + std::to_string(c) + "\\R" + std::to_string(r);
                    if (RegCreateKey(root, path, key) != ERROR_SUCCESS) ++failures;
                    if (RegSetDword(key, "Round", uint32_t(r)) != ERROR_SUCCESS) ++failures;
                    if (RegCloseKey(key) != ERROR_SUCCESS) ++failures;
                }
            }
            _exit(failures == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    HKey root = OpenHiveFile(hive);
    for (int c = 0; c < kChildren; ++c) {
        for (int r = 0; r < kRounds; ++r) {
            HKey key;
            std::string path = "Software\\P" + std::to_string(c) + "\\R" + std::to_string(r);
            ASSERT_EQ(RegOpenKey(root, path, key), ERROR_SUCCESS) << path;
            uint32_t d = 99;
            EXPECT_EQ(RegQueryDword(key, "Round", d), ERROR_SUCCESS);
            EXPECT_EQ(d, uint32_t(r));
        }
    }
}

TEST_F(Registry, ProcessHiveFollowsTheRegistryPath) {
    setenv("KESTOVA_REGISTRY", hive.c_str(), 1);
    {
        HKey key;
        ASSERT_EQ(RegCreateKey("Software\\Kestova", key), ERROR_SUCCESS);
        ASSERT_EQ(RegSetDword(key, "Version", 0x01220100), ERROR_SUCCESS);
    }
    EXPECT_NE(ReadFile(hive).find("[HKEY_CURRENT_USER\\Software\\Kestova]\n\"Version\"="),
              std::string::npos);
    EXPECT_EQ(RegDeleteKey("Software\\Kestova"), ERROR_SUCCESS);  // saved at once
    EXPECT_EQ(ReadFile(hive).find("Kestova"), std::string::npos);
    unsetenv("KESTOVA_REGISTRY");
}

}  // namespace
}  // namespace kv
