#include <gtest/gtest.h>

#include "shell/commandrouter.h"
#include "shell/htmltext.h"

namespace kv {
namespace {

struct RouteCase {
    const char* address;
    bool cancel;
    ShellCommand command;   // when cancelled
    const char* argument;   // when cancelled
};

TEST(CommandRouter, EveryPrefixInAnyCaseWithItsArgument) {
    const RouteCase cases[] = {
        // "RES:" in any case goes to the error page
        {"RES:", true, ShellCommand::ShowErrorPage, ""},
        {"res://shdoclc.dll/dnserror.htm", true, ShellCommand::ShowErrorPage, ""},
        {"rEs:x", true, ShellCommand::ShowErrorPage, ""},
        // skins: "QUELT:SKIN(" name ")"
        {"QUELT:SKIN(azul.bmp)", true, ShellCommand::LoadSkin, "azul.bmp"},
        {"quelt:skin(Verde+Claro.BMP)", true, ShellCommand::LoadSkin, "Verde+Claro.BMP"},
        {"Quelt:Skin(a(b).bmp)", true, ShellCommand::LoadSkin, "a(b).bmp"},
        {"QUELT:SKIN", true, ShellCommand::LoadSkin, ""},
        {"QUELT:SKIN(", true, ShellCommand::LoadSkin, ""},
        {"Quelt:Skin()", true, ShellCommand::LoadSkin, ""},
        {"QUELT:SKIN(x", true, ShellCommand::LoadSkin, ""},
        {"QUELT:SKIN(xy", true, ShellCommand::LoadSkin, "x"},
        // search window
        {"QUELT:BUSCADORES", true, ShellCommand::ShowSearch, ""},
        {"quelt:buscadores", true, ShellCommand::ShowSearch, ""},
        {"Quelt:Buscadores?x=1", true, ShellCommand::ShowSearch, ""},
        // portal dialogs
        {"Quelt:NewGroup", true, ShellCommand::NewGroup, ""},
        {"quelt:newgroup", true, ShellCommand::NewGroup, ""},
        {"QUELT:NEWGROUP", true, ShellCommand::NewGroup, ""},
        {"Quelt:NewItem(Mis+Enlaces)", true, ShellCommand::NewItem, "Mis+Enlaces"},
        {"quelt:newitem(Mis+Enlaces)", true, ShellCommand::NewItem, "Mis+Enlaces"},
        {"QUELT:NEWITEM(Noticias (2000))", true, ShellCommand::NewItem, "Noticias (2000)"},
        {"Quelt:NewItem(C%2B%2B+y+m%C3%A1s)", true, ShellCommand::NewItem, "C%2B%2B+y+m%C3%A1s"},
        {"Quelt:NewItem()", true, ShellCommand::NewItem, ""},
        {"Quelt:NewItem(", true, ShellCommand::NewItem, ""},
        {"Quelt:NewItem", true, ShellCommand::NewItem, ""},
        {"Quelt:DelItem(Mis+Enlaces)", true, ShellCommand::DeleteItems, "Mis+Enlaces"},
        {"qUELT:dELiTEM(a+(b)+c)", true, ShellCommand::DeleteItems, "a+(b)+c"},
        {"Quelt:DelItem(", true, ShellCommand::DeleteItems, ""},
        {"QUELT:DELITEM", true, ShellCommand::DeleteItems, ""},
        {"Quelt:MiPortalPropiedades", true, ShellCommand::PortalProperties, ""},
        {"quelt:miportalpropiedades", true, ShellCommand::PortalProperties, ""},
        // not commands
        {"http://www.quelt.es/", false, ShellCommand::NewGroup, ""},
        {"https://example.com/Quelt:NewGroup", false, ShellCommand::NewGroup, ""},
        {"QUELT:NEWGROU", false, ShellCommand::NewGroup, ""},
        {"Quelt:", false, ShellCommand::NewGroup, ""},
        {"RES", false, ShellCommand::NewGroup, ""},
        {" Quelt:NewGroup", false, ShellCommand::NewGroup, ""},
        {"resource:x", false, ShellCommand::NewGroup, ""},
        {"", false, ShellCommand::NewGroup, ""},
    };
    for (const RouteCase& c : cases) {
        SCOPED_TRACE(c.address);
        RouteResult r = RouteCommand(c.address);
        EXPECT_EQ(r.cancel, c.cancel);
        if (!c.cancel) {
            EXPECT_TRUE(r.commands.empty());
            continue;
        }
        ASSERT_EQ(r.commands.size(), 1u);
        EXPECT_EQ(r.commands[0].command, c.command);
        EXPECT_EQ(r.commands[0].argument, c.argument);
    }
}

TEST(CommandRouter, GroupNamesSurviveTheTripThroughACommandAddress) {
    // What the portal writes after "Quelt:NewItem(" must come back from the dialogs'
    // reading of the router's argument as the name the user typed.
    const char* names[] = {"Mis Enlaces", "C++", "100% fiable", "Noticias (2000)", "a#b?c&d",
                           "Compañía, S.A.", "'quoted' \"name\"", "<b>x</b>", "  lead", "tab\there"};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        std::string encoded = EncodeCommandArgument(name);
        EXPECT_EQ(encoded.find_first_of(" \"'<>&#?"), std::string::npos) << encoded;
        RouteResult r = RouteCommand("Quelt:DelItem(" + encoded + ")");
        ASSERT_EQ(r.commands.size(), 1u);
        EXPECT_EQ(GroupNameFromArgument(r.commands[0].argument), name);
    }
    // blanks are written as "+" as the commands have always carried them
    EXPECT_EQ(EncodeCommandArgument("Mis Enlaces"), "Mis+Enlaces");
    // a typed command with blanks, or one that a browser percent-escaped, reads the same
    EXPECT_EQ(GroupNameFromArgument("Mis Enlaces"), "Mis Enlaces");
    EXPECT_EQ(GroupNameFromArgument("Mis%20Enlaces"), "Mis Enlaces");
    // an incomplete escape stays as it stands
    EXPECT_EQ(GroupNameFromArgument("50%+y+%4"), "50% y %4");
}

TEST(HtmlText, EscapesEverythingThatCouldEndTextOrAttribute) {
    EXPECT_EQ(HtmlEscape("a<b>&\"c'"), "a&lt;b&gt;&amp;&quot;c&#39;");
    EXPECT_EQ(HtmlEscape("Añadir"), "Añadir");
    EXPECT_EQ(JsStringEscape("http://x/?a='1'&b=\\</script>"),
              "http://x/?a=\\'1\\'\\x26b=\\\\\\x3c/script\\x3e");
}

}  // namespace
}  // namespace kv
