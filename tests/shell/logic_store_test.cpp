#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "shell/fieldreader.h"
#include "shell/groupstore.h"
#include "tempdir.h"

namespace kv {
namespace {

using Fields = std::vector<std::string>;

std::string Slurp(const std::string& path) {
    std::string text;
    ReadWholeFile(path, text);
    return text;
}

void Put(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

TEST(FieldReader, ReadsBothLayoutsAndTheQuotedForm) {
    struct Case {
        const char* text;
        Fields fields;
    };
    const Case cases[] = {
        {"Quelt, http://q/\r\n", {"Quelt", "http://q/"}},
        {"Quelt\r\nhttp://q/\r\n", {"Quelt", "http://q/"}},
        {"   a,    b\r\n  c\r\n", {"a", "b", "c"}},
        {"a , b", {"a ", "b"}},                          // only leading blanks go
        {"a\nb\rc", {"a", "b", "c"}},                     // bare LF and CR end lines too
        {"\"x, y\", z\r\n", {"x, y", "z"}},
        {"\"q\" junk, z", {"q", "z"}},                    // after the closing quote, up to the comma
        {"\"open, to the end", {"open, to the end"}},
        {"a,\r\n", {"a", ""}},
        {"\r\nb\r\n", {"", "b"}},                         // an empty line is an empty field
        {"-, -\r\n", {"-", "-"}},
        {"Deportes, noticias, http://d/\r\n", {"Deportes", "noticias", "http://d/"}},
        {"", {}},
        {"   ", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ReadFields(c.text), c.fields);
    }
    EXPECT_EQ(ReadRecords("a, 1\r\nb\r\n2\r\nlast\r\n"),
              (std::vector<PortalRecord>{{"a", "1"}, {"b", "2"}, {"last", ""}}));
}

TEST(FieldReader, WrittenFieldsReadBackUnchanged) {
    const char* fields[] = {"plain", "Deportes, noticias", " leading blank", "", "-",
                            "http://x/?a=1,2", "Compañía", "mid\"quote"};
    for (const char* f : fields) {
        SCOPED_TRACE(f);
        EXPECT_EQ(ReadFields(FieldLine(f)), Fields{f});
        EXPECT_EQ(ReadRecords(RecordLine({f, f})), (std::vector<PortalRecord>{{f, f}}));
    }
    // a quote inside a field that needs quoting cannot be kept: it becomes a single quote;
    // line breaks become blanks
    EXPECT_EQ(ReadFields(FieldLine("\"Hola\", dijo")), Fields{"'Hola', dijo"});
    EXPECT_EQ(ReadFields(FieldLine("dos\r\nlineas")), Fields{"dos  lineas"});
}

class GroupStoreTest : public ::testing::Test {
protected:
    test::TempDir dir;
    GroupStore store{dir.Path()};
};

TEST_F(GroupStoreTest, NewGroupAddItemDeleteItemDeleteGroup) {
    ASSERT_EQ(store.NewGroup("Mis Enlaces"), NewGroupResult::Created);
    EXPECT_EQ(Slurp(dir.File("grupos.dat")), "Mis Enlaces\r\n");
    EXPECT_EQ(Slurp(dir.File("Mis Enlaces.dat")), "-, -\r\n");
    EXPECT_EQ(store.ItemNames("Mis Enlaces"), Fields{"-"});
    ASSERT_EQ(store.NewGroup("Noticias"), NewGroupResult::Created);
    EXPECT_EQ(Slurp(dir.File("grupos.dat")), "Mis Enlaces\r\nNoticias\r\n");
    EXPECT_EQ(store.Groups(), (Fields{"Mis Enlaces", "Noticias"}));
    EXPECT_TRUE(std::filesystem::exists(dir.File("tmpgrp.dat")));

    // the first item replaces the placeholder; the file is then one field per line
    ASSERT_TRUE(store.AddItem("Mis Enlaces", "Quelt", "http://q/"));
    EXPECT_EQ(Slurp(dir.File("Mis Enlaces.dat")), "Quelt\r\nhttp://q/\r\n");
    ASSERT_TRUE(store.AddItem("Mis Enlaces", "-oculto", "http://o/"));
    ASSERT_TRUE(store.AddItem("Mis Enlaces", "Quelt", "http://q2/"));
    // an item whose name begins with "-" goes the next time an item is added
    EXPECT_EQ(store.ItemNames("Mis Enlaces"), (Fields{"Quelt", "Quelt"}));
    ASSERT_TRUE(store.AddItem("Mis Enlaces", "Otro", "http://otro/"));

    // deleting a name held by two records removes both; the file is then one record a line
    ASSERT_TRUE(store.DeleteItems("Mis Enlaces", "Quelt"));
    EXPECT_EQ(Slurp(dir.File("Mis Enlaces.dat")), "Otro, http://otro/\r\n");
    EXPECT_TRUE(std::filesystem::exists(dir.File("ttmmpp.dat")));
    // nothing selected: only records with an empty name match
    Put(dir.File("Mis Enlaces.dat"), "Otro, http://otro/\r\n, http://sin-nombre/\r\n");
    ASSERT_TRUE(store.DeleteItems("Mis Enlaces", ""));
    EXPECT_EQ(Slurp(dir.File("Mis Enlaces.dat")), "Otro, http://otro/\r\n");

    ASSERT_TRUE(store.DeleteGroup("Mis Enlaces"));
    EXPECT_EQ(store.Groups(), Fields{"Noticias"});
    EXPECT_TRUE(std::filesystem::exists(dir.File("Mis Enlaces.dat")));  // stays on disk
}

TEST_F(GroupStoreTest, RefusalsChangeNothing) {
    ASSERT_EQ(store.NewGroup("Noticias"), NewGroupResult::Created);
    ASSERT_TRUE(store.AddItem("Noticias", "El Diario", "http://diario/"));
    const std::string groupsBefore = Slurp(dir.File("grupos.dat"));
    const std::string itemsBefore = Slurp(dir.File("Noticias.dat"));

    EXPECT_EQ(store.NewGroup(""), NewGroupResult::EmptyName);
    for (const char* bad : {"a/b", "../fuera", "grupos", "GRUPOS", "tmpgrp", "ttmmpp", "tab\tname"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(store.NewGroup(bad), NewGroupResult::InvalidName);
        EXPECT_FALSE(store.AddItem(bad, "x", "y"));
        EXPECT_FALSE(store.DeleteItems(bad, "x"));
    }
    EXPECT_EQ(store.NewGroup(std::string(251, 'x')), NewGroupResult::InvalidName);
    // a second group of the same name would have wiped the first one's items
    EXPECT_EQ(store.NewGroup("Noticias"), NewGroupResult::Duplicate);
    EXPECT_FALSE(store.AddItem("Noticias", "", "http://sin-nombre/"));

    EXPECT_EQ(Slurp(dir.File("grupos.dat")), groupsBefore);
    EXPECT_EQ(Slurp(dir.File("Noticias.dat")), itemsBefore);
    EXPECT_FALSE(std::filesystem::exists(dir.File("a/b.dat")));
    EXPECT_FALSE(std::filesystem::exists(dir.Path() + "/../fuera.dat"));
}

TEST_F(GroupStoreTest, MissingFilesAreNeitherFatalNorInvented) {
    EXPECT_TRUE(store.Groups().empty());
    EXPECT_FALSE(store.DeleteGroup("x"));
    EXPECT_FALSE(store.DeleteItems("Fantasma", "x"));
    EXPECT_FALSE(std::filesystem::exists(dir.File("Fantasma.dat")));
    bool exists = true;
    EXPECT_TRUE(store.Records("Fantasma", &exists).empty());
    EXPECT_FALSE(exists);
    // adding to a group whose file is missing makes the file
    ASSERT_TRUE(store.AddItem("Fantasma", "a", "http://a/"));
    EXPECT_EQ(store.Records("Fantasma"), (std::vector<PortalRecord>{{"a", "http://a/"}}));
}

TEST_F(GroupStoreTest, CommasInNamesAndAddresses) {
    // Written by the store, a comma stays inside its field...
    ASSERT_EQ(store.NewGroup("Cine, Teatro"), NewGroupResult::Created);
    EXPECT_EQ(store.Groups(), Fields{"Cine, Teatro"});
    ASSERT_TRUE(store.AddItem("Cine, Teatro", "Cartelera, hoy", "http://c/?a=1,2"));
    ASSERT_TRUE(store.AddItem("Cine, Teatro", "Otro", "http://o/"));
    EXPECT_EQ(store.Records("Cine, Teatro"),
              (std::vector<PortalRecord>{{"Cartelera, hoy", "http://c/?a=1,2"}, {"Otro", "http://o/"}}));
    ASSERT_TRUE(store.DeleteItems("Cine, Teatro", "Otro"));
    EXPECT_EQ(store.Records("Cine, Teatro"),
              (std::vector<PortalRecord>{{"Cartelera, hoy", "http://c/?a=1,2"}}));
    // ...while a bare comma in a file written elsewhere splits the field.
    Put(dir.File("grupos.dat"), "Cine, Teatro\r\n");
    EXPECT_EQ(store.Groups(), (Fields{"Cine", "Teatro"}));
}

}  // namespace
}  // namespace kv
