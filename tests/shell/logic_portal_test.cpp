#include <gtest/gtest.h>

#include <fstream>

#include "htmlcheck.h"
#include "shell/commandrouter.h"
#include "shell/groupstore.h"
#include "shell/htmltext.h"
#include "shell/portal.h"
#include "tempdir.h"

namespace kv {
namespace {

using test::HtmlDocument;
using test::HtmlElement;

std::string Slurp(const std::string& path) {
    std::string text;
    ReadWholeFile(path, text);
    return text;
}

// The group cells of the page: the <th> children of the rows of the groups' table, by row.
std::vector<std::vector<const HtmlElement*>> GroupRows(const HtmlDocument& doc) {
    std::vector<std::vector<const HtmlElement*>> rows;
    for (const HtmlElement* table : doc.All("table")) {
        const HtmlElement* parent = doc.Parent(*table);
        if (!parent || parent->name != "th" || parent->attrs.count("align") == 0) continue;
        if (table->attrs.count("cellpadding") == 0) continue;
        for (const HtmlElement* tr : doc.Children(*table, "tr")) rows.push_back(doc.Children(*tr, "th"));
    }
    return rows;
}

// Title of a group cell: the text of the first <font> of its inner table.
std::string GroupTitle(const HtmlDocument& doc, const HtmlElement& cell) {
    for (const HtmlElement* t : doc.Children(cell, "table")) {
        for (const HtmlElement* tr : doc.Children(*t, "tr")) {
            for (const HtmlElement* th : doc.Children(*tr, "th")) {
                auto fonts = doc.Children(*th, "font");
                if (!fonts.empty()) return fonts[0]->text;
            }
        }
    }
    return {};
}

class PortalTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(store.NewGroup("Mis Enlaces"), NewGroupResult::Created);
        ASSERT_TRUE(store.AddItem("Mis Enlaces", "Quelt!", "http://www.quelt.es/"));
        ASSERT_TRUE(store.AddItem("Mis Enlaces", "Búsqueda & más", "http://b/?q=a&r='1'"));
        ASSERT_EQ(store.NewGroup("Vacío"), NewGroupResult::Created);
    }
    std::string Generate(const std::string& tipo) {
        EXPECT_TRUE(WritePortalPage(dir.Path(), tipo, services));
        return Slurp(dir.File("miportal.html"));
    }
    test::TempDir dir;
    GroupStore store{dir.Path()};
    ShellServices services = DefaultShellServices("/home/ana/quelt");
};

TEST_F(PortalTest, EveryColourSchemeGivesAWellFormedPageWithTheWholeStore) {
    struct SchemeCase {
        const char* tipo;
        const char* page;
        const char* title;
        const char* cell;
        const char* templates;
    };
    const SchemeCase schemes[] = {
        {"1", "ffffff", "572e02", "fcd9b3", "000000"}, {"2", "ffffff", "706F2f", "EFEFdf", "000000"},
        {"3", "b07fdf", "90509f", "ffffff", "ffffff"}, {"4", "0f2f50", "4f70b0", "7fafe0", "ffffff"},
        {"5", "ffffff", "308f20", "6fcf7f", "000000"}, {"6", "ffffff", "red", "f9c1cd", "000000"},
        {"", "", "", "", "000000"},                    {"7", "", "", "", "000000"},
    };
    for (const SchemeCase& s : schemes) {
        SCOPED_TRACE(std::string("tipo '") + s.tipo + "'");
        const std::string page = Generate(s.tipo);
        HtmlDocument doc = test::ParseHtml(page);
        EXPECT_TRUE(doc.errors.empty()) << ::testing::PrintToString(doc.errors);

        // every line ends with CR LF
        EXPECT_EQ(page.find('\n'), page.find("\r\n") + 1);
        EXPECT_EQ(page.find("\n\n"), std::string::npos);
        EXPECT_EQ(page.substr(page.size() - 2), "\r\n");

        ASSERT_EQ(doc.All("body").size(), 1u);
        EXPECT_EQ(doc.All("body")[0]->attrs.at("bgcolor"), s.page);
        bool plantillas = false;
        for (const HtmlElement* a : doc.All("a")) {
            if (a->attrs.at("href") != "Quelt:MiPortalPropiedades") continue;
            plantillas = true;
            EXPECT_EQ(a->text, "Plantillas");
            EXPECT_EQ(doc.Children(*a, "font").at(0)->attrs.at("color"), s.templates);
        }
        EXPECT_TRUE(plantillas);

        auto rows = GroupRows(doc);
        ASSERT_EQ(rows.size(), 1u);
        ASSERT_EQ(rows[0].size(), 2u);
        EXPECT_EQ(GroupTitle(doc, *rows[0][0]), "Mis Enlaces");
        EXPECT_EQ(GroupTitle(doc, *rows[0][1]), "Vacío");
        EXPECT_EQ(rows[0][0]->attrs.at("bgcolor"), s.cell);

        // links, in store order, with their names in bold
        std::vector<std::pair<std::string, std::string>> links;
        std::vector<std::string> commands;
        for (const HtmlElement* a : doc.All("a")) {
            const std::string& href = a->attrs.at("href");
            if (href.rfind("Quelt:", 0) == 0) {
                commands.push_back(href);
            } else if (!doc.Children(*a, "b").empty()) {
                links.emplace_back(a->text, href);
            }
        }
        EXPECT_EQ(links, (std::vector<std::pair<std::string, std::string>>{
                             {"Quelt!", "http://www.quelt.es/"},
                             {"Búsqueda & más", "http://b/?q=a&r='1'"},
                             {"-", "-"}}));  // the new group's placeholder
        EXPECT_EQ(commands, (std::vector<std::string>{
                                "Quelt:MiPortalPropiedades", "Quelt:NewItem(Mis+Enlaces)",
                                "Quelt:DelItem(Mis+Enlaces)", "Quelt:NewGroup",
                                "Quelt:NewItem(Vac%C3%ADo)", "Quelt:DelItem(Vac%C3%ADo)",
                                "Quelt:NewGroup"}));
        // the group titles carry the scheme's title bar
        for (const HtmlElement* th : doc.All("th")) {
            auto fonts = doc.Children(*th, "font");
            if (!fonts.empty() && fonts[0]->text == "Mis Enlaces") {
                EXPECT_EQ(th->attrs.at("bgcolor"), s.title);
            }
        }
    }
}

TEST_F(PortalTest, FixedFrameTextsAndServices) {
    const std::string page = Generate("3");
    HtmlDocument doc = test::ParseHtml(page);
    for (const char* text : {"Buscadores", "Correo electrónico", "Yahoo! Mail", "HotMail", "Ozu Mail",
                             "Usuario: ", "Password: ", "Buscar!"}) {
        EXPECT_NE(page.find(text), std::string::npos) << text;
    }
    std::vector<std::string> options;
    for (const HtmlElement* o : doc.All("option")) options.push_back(o->attrs.at("value") + "=" + o->text);
    EXPECT_EQ(options, (std::vector<std::string>{"1=Terra", "2=AltaVista", "3=Yahoo!", "4=Ozu", "5=El Sol",
                                                 "6=Lycos", "7=Telepolis", "8=El índice"}));
    std::vector<std::string> actions;
    for (const HtmlElement* f : doc.All("form")) actions.push_back(f->attrs.at("action"));
    EXPECT_EQ(actions, (std::vector<std::string>{"nodefined", services.yahooMailLogin,
                                                 services.hotMailLogin, services.ozuMailLogin}));
    // the script sends the search text to each engine's query address
    ASSERT_EQ(doc.All("script").size(), 1u);
    const std::string& script = doc.All("script")[0]->text;
    EXPECT_NE(script.find("if (document.all.frm.buscador.value == '3'){ document.location='" +
                          services.SearchQuery("Yahoo") + "' + document.all.frm.buscar.value }"),
              std::string::npos);
    EXPECT_NE(page.find("<img src='file:///home/ana/quelt/sitio/p4.gif' border=0 align=middle>"),
              std::string::npos);
}

TEST_F(PortalTest, FourGroupsToARow) {
    for (int i = 3; i <= 9; ++i) ASSERT_EQ(store.NewGroup("G" + std::to_string(i)), NewGroupResult::Created);
    HtmlDocument doc = test::ParseHtml(Generate("1"));
    EXPECT_TRUE(doc.errors.empty()) << ::testing::PrintToString(doc.errors);
    auto rows = GroupRows(doc);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].size(), 4u);
    EXPECT_EQ(rows[1].size(), 4u);
    ASSERT_EQ(rows[2].size(), 1u);
    EXPECT_EQ(GroupTitle(doc, *rows[1][0]), "G5");
    EXPECT_EQ(GroupTitle(doc, *rows[2][0]), "G9");
}

TEST_F(PortalTest, HostileNamesStayText) {
    const std::string group = "<script>alert(1)' \"x";  // a group name cannot hold "/"
    const std::string item = "x\"><img src=x onerror=alert(2)>";
    const std::string address = "' onmouseover='alert(3)";
    ASSERT_EQ(store.NewGroup(group), NewGroupResult::Created);
    ASSERT_TRUE(store.AddItem(group, item, address));
    const std::string page = Generate("2");
    HtmlDocument doc = test::ParseHtml(page);
    EXPECT_TRUE(doc.errors.empty()) << ::testing::PrintToString(doc.errors);
    EXPECT_EQ(doc.All("script").size(), 1u);  // only the shell's own
    for (const HtmlElement& e : doc.elements) {
        for (const auto& [name, value] : e.attrs) {
            if (name.rfind("on", 0) != 0) continue;
            // only the search box's own handlers
            EXPECT_TRUE((e.name == "button" && name == "onclick") || (e.name == "form" && name == "onsubmit"))
                << e.name << " " << name << "=" << value;
        }
    }
    bool foundLink = false, foundTitle = false;
    for (const HtmlElement* a : doc.All("a")) {
        if (a->text == item) {
            foundLink = true;
            EXPECT_EQ(a->attrs.at("href"), address);
        }
        const std::string& href = a->attrs.at("href");
        if (href.rfind("Quelt:NewItem(", 0) == 0 && href != "Quelt:NewItem(Mis+Enlaces)" &&
            href.find("Vac") == std::string::npos) {
            // the command gives the group back to the dialogs
            RouteResult r = RouteCommand(href);
            ASSERT_EQ(r.commands.size(), 1u);
            EXPECT_EQ(GroupNameFromArgument(r.commands[0].argument), group);
        }
    }
    for (const HtmlElement* f : doc.All("font")) foundTitle |= f->text == group;
    EXPECT_TRUE(foundLink);
    EXPECT_TRUE(foundTitle);
}

TEST_F(PortalTest, BothStoreLayoutsGiveTheSamePage) {
    // After an add the group file holds one field per line; after a delete one record a line.
    ASSERT_TRUE(store.AddItem("Vacío", "Uno", "http://1/"));
    ASSERT_TRUE(store.AddItem("Vacío", "Dos", "http://2/"));
    const std::string afterAdd = Generate("4");
    ASSERT_TRUE(store.DeleteItems("Vacío", "no such item"));
    EXPECT_EQ(Slurp(dir.File("Vacío.dat")), "Uno, http://1/\r\nDos, http://2/\r\n");
    EXPECT_EQ(Generate("4"), afterAdd);
}

TEST_F(PortalTest, MissingStoreFilesStillGiveAWellFormedPage) {
    std::filesystem::remove(dir.File("Vacío.dat"));
    HtmlDocument doc = test::ParseHtml(Generate("5"));
    EXPECT_TRUE(doc.errors.empty()) << ::testing::PrintToString(doc.errors);
    auto rows = GroupRows(doc);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(GroupTitle(doc, *rows[0][1]), "Vacío");  // an empty table under its title

    std::filesystem::remove(dir.File("grupos.dat"));
    const std::string page = Generate("5");
    doc = test::ParseHtml(page);
    EXPECT_TRUE(doc.errors.empty()) << ::testing::PrintToString(doc.errors);
    // with no group at all the page still offers to make one
    EXPECT_NE(page.find("<a href='Quelt:NewGroup'><img src='anadir.gif' alt='Añadir Nuevo Grupo' border=0></a>"),
              std::string::npos);
}

}  // namespace
}  // namespace kv
