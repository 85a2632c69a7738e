#include "shell/portal.h"

#include "shell/groupstore.h"
#include "shell/htmltext.h"

namespace kv {
namespace {

struct PortalEngine {
    const char* value;
    const char* label;
    const char* engine;  // name in ShellServices::SearchQuery
};

constexpr PortalEngine kPortalEngines[] = {
    {"1", "Terra", "Terra"},         {"2", "AltaVista", "AltaVista"},
    {"3", "Yahoo!", "Yahoo"},        {"4", "Ozu", "Ozu"},
    {"5", "El Sol", "ElSol"},        {"6", "Lycos", "Lycos"},
    {"7", "Telepolis", "Telepolis"}, {"8", "El índice", "ElIndice"},
};

// Attribute values of our own (colours) are quoted so that an empty colour stays an
// empty attribute instead of swallowing the next one.
std::string Q(const std::string& value) { return "'" + HtmlEscape(value) + "'"; }

class PageWriter {
public:
    void Line(const std::string& text) { page_ += text + "\r\n"; }
    std::string Take() { return std::move(page_); }

private:
    std::string page_;
};

std::string CellOpen(const std::string& bg, const char* extra = " valign=top") {
    return std::string("<tr><th bgcolor=") + Q(bg) + extra + " align=left>";
}

void WriteSearchBox(PageWriter& w, const ColourScheme& c) {
    const std::string tfont = "<font size=1 face='Verdana' color=" + Q(c.titleText) + ">";
    w.Line("<table border=0 width=150 valign=top>");
    w.Line(CellOpen(c.title) + tfont + "Buscadores</font></th></tr>");
    w.Line("</table>");
    w.Line("<form method=post action='nodefined' name='frm' onsubmit='buscame(); return false'>");
    w.Line("<table border=0 width=150 valign=top>");
    w.Line(CellOpen(c.cell) + tfont + "<input type='text' name='buscar' width=130></font></th></tr>");
    std::string select = "<select name='buscador'>";
    for (const PortalEngine& e : kPortalEngines) {
        select += std::string(" <option value='") + e.value + "'>" + e.label + "</option>";
    }
    select += " </select>";
    w.Line(CellOpen(c.cell) + tfont + select +
           "<button type='button' name='bt' onclick='buscame()'>Buscar!</button></font></th></tr>");
    w.Line("</table>");
    w.Line("</form>");
}

void WriteMailRows(PageWriter& w, const ColourScheme& c, const char* service,
                   const std::string& userInput, const std::string& passwordInput,
                   const char* valign) {
    w.Line("<table border=0 width=150 valign=top>");
    w.Line(CellOpen(c.cell, valign) + "<font size=2 face='Verdana' color=000000>" + service +
           "</font></th></tr>");
    w.Line(CellOpen(c.cell, valign) + "<font size=1 face='Verdana' color=000000>Usuario: </font>" +
           userInput + "</th></tr>");
    w.Line(CellOpen(c.cell, valign) +
           "<font size=1 face='Verdana' color=000000>Password: </font>" + passwordInput +
           "</th></tr>");
    w.Line(CellOpen(c.cell, valign) + "<font size=1 face='Verdana' color=" + Q(c.titleText) +
           "></font><input type=submit value='Enviar'></th></tr>");
    w.Line("</table>");
}

void WriteMailBoxes(PageWriter& w, const ColourScheme& c, const ShellServices& s) {
    w.Line("<table border=0 width=150 valign=top>");
    w.Line(CellOpen(c.title) + "<font size=1 face='Verdana' color=" + Q(c.titleText) +
           ">Correo electrónico</font></th></tr>");
    w.Line("</table>");

    w.Line("<form method=post action=" + Q(s.yahooMailLogin) + ">");
    w.Line("<input type=hidden name='.tries' value='' ><input type=hidden name='.src' value='ym' >"
           "<input type=hidden name='.last' value='' ><input type=hidden name='promo' value='' >"
           "<input type=hidden name='.intl' value='es' ><input type=hidden name='.bypass' value='' >"
           "<input type=hidden name='.partner' value='' ><input type=hidden name=.chkP value='Y'>"
           "<input type=hidden name='.done' value='' >");
    WriteMailRows(w, c, "Yahoo! Mail", "<input name=login size=16 type=text maxlength=32>",
                  "<input name=passwd type=password size=16 maxlength=32>", " valign=top");
    w.Line("</form>");

    w.Line("<form action=" + Q(s.hotMailLogin) +
           " method='POST' ><input type='hidden' name='domain' value=" + Q(s.hotMailDomain) + ">");
    WriteMailRows(w, c, "HotMail", "<input type='text' name='login' size='16' maxlength='64'>",
                  "<input type='password' name='passwd' size='16' maxlength='16'>", "");
    w.Line("</form>");

    w.Line("<form method='POST' action=" + Q(s.ozuMailLogin) +
           " name='login'><input type='hidden' name='company' value='ozu'>"
           "<input type='hidden' name='Interface' value='0'><input type='hidden' name='java' value='0'>");
    WriteMailRows(w, c, "Ozu Mail", "<input type='text' name='loginname' size='16'>",
                  "<input type='password' name='loginpassword' size='16'>", "");
    w.Line("</form>");
}

const char* kNewGroupLink =
    "&nbsp; <a href='Quelt:NewGroup'><img src='anadir.gif' alt='Añadir Nuevo Grupo' border=0></a>";

void WriteGroups(PageWriter& w, const ColourScheme& c, const std::vector<PortalGroup>& groups) {
    const std::string tfont = "<font size=1 face='Verdana' color=" + Q(c.titleText) + ">";
    w.Line("<table border=0 cellpadding=0 cellspacing=0>");
    if (groups.empty()) {
        // Without a group the page would offer no way to make the first one.
        w.Line("<tr><th valign=top align=left bgcolor=" + Q(c.cell) + ">");
        w.Line("<table border=0 width=150 bgcolor=" + Q(c.cell) + "><tr><th bgcolor=" + Q(c.title) +
               " align=left>" + kNewGroupLink + "</th></tr></table>");
        w.Line("</th></tr>");
    }
    int column = 0;
    for (size_t i = 0; i < groups.size(); ++i) {
        const PortalGroup& g = groups[i];
        ++column;
        if (column == 5) {
            // four groups to a row
            w.Line("</tr><tr><th  valign=top align=left bgcolor=" + Q(c.cell) + ">");
            column = 1;
        } else {
            w.Line(std::string(i == 0 ? "<tr>" : "") + "<th valign=top align=left bgcolor=" +
                   Q(c.cell) + ">");
        }
        const std::string arg = HtmlEscape(EncodeCommandArgument(g.name));
        w.Line("<table border=0 width=150 bgcolor=" + Q(c.cell) + "><tr><th bgcolor=" + Q(c.title) +
               " align=left>" + tfont + HtmlEscape(g.name) + "</font>");
        w.Line("<a href='Quelt:NewItem(" + arg +
               ")'><img src='anadir2.gif' border=0 alt='Añadir Elemento'></a>");
        w.Line("<a href='Quelt:DelItem(" + arg +
               ")'><img src='eliminar.gif' border=0 alt='Eliminar Elemento'></a>");
        w.Line(std::string(kNewGroupLink) + "</th></tr>");
        for (const PortalRecord& r : g.records) {
            w.Line("<tr><th bgcolor=" + Q(c.cell) + " align=left><font size=1 face='Verdana' color=" +
                   Q(c.linkText) + "><a href='" + HtmlEscape(r.address) + "'><b>" +
                   HtmlEscape(r.name) + "</b></a></font></th></tr>");
        }
        w.Line("</table>");
        w.Line("</th>");
    }
    if (!groups.empty()) w.Line("</tr>");
    w.Line("</table>");
}

}  // namespace

ColourScheme ColourSchemeFor(const std::string& tipo) {
    if (tipo == "1") return {"ffffff", "572e02", "fcd9b3", "ffffff", "000000", "000000"};
    if (tipo == "2") return {"ffffff", "706F2f", "EFEFdf", "ffffff", "000000", "000000"};
    if (tipo == "3") return {"b07fdf", "90509f", "ffffff", "ffffff", "000000", "ffffff"};
    if (tipo == "4") return {"0f2f50", "4f70b0", "7fafe0", "ffffff", "000000", "ffffff"};
    if (tipo == "5") return {"ffffff", "308f20", "6fcf7f", "ffffff", "000000", "000000"};
    if (tipo == "6") return {"ffffff", "red", "f9c1cd", "ffffff", "000000", "000000"};
    return {"", "", "", "", "", "000000"};
}

std::string BuildPortalPage(const ColourScheme& c, const std::vector<PortalGroup>& groups,
                            const ShellServices& s) {
    PageWriter w;
    w.Line("<html><head><meta charset='utf-8'><title>Zo Ruvira</title>"
           "<link rel='stylesheet' type='text/css' media='screen' href='chat.css'></head>");
    w.Line("<body bgcolor=" + Q(c.page) + " topmargin=o leftmargin=0>");
    w.Line("&nbsp; <img src='miportal.gif'> &nbsp; &nbsp; <a href=" +
           Q(s.HomeAddress("/miportal/banner.html")) + "><img src=" + Q(s.HomeAddress("/p4.gif")) +
           " border=0 align=middle></a> &nbsp; <a href='Quelt:MiPortalPropiedades'>"
           "<font size=1 face='Verdana' color=" + Q(c.templates) + ">Plantillas</font></a><br>");
    w.Line("<center>");
    w.Line("<table border=0 cellpadding=0 cellspacing=0 valign=top><tr valign=top><th valign='top'>");
    WriteSearchBox(w, c);
    WriteMailBoxes(w, c, s);
    w.Line("</th><th valign='top' align=left>");
    WriteGroups(w, c, groups);
    w.Line("</th></tr></table>");
    w.Line("</center>");
    w.Line("<br><br><font size=1 face='Verdana'>" + HtmlEscape(s.rightsNotice) + "</font>");
    w.Line("<script>");
    w.Line("function buscame(){");
    for (const PortalEngine& e : kPortalEngines) {
        w.Line(std::string("if (document.all.frm.buscador.value == '") + e.value +
               "'){ document.location='" + JsStringEscape(s.SearchQuery(e.engine)) +
               "' + document.all.frm.buscar.value }");
    }
    w.Line("}");
    w.Line("</script>");
    w.Line("</body></html>");
    return w.Take();
}

bool WritePortalPage(const std::string& directory, const std::string& tipo,
                     const ShellServices& services) {
    GroupStore store(directory);
    std::vector<PortalGroup> groups;
    for (const std::string& name : store.Groups()) {
        groups.push_back({name, store.Records(name)});
    }
    std::string page = BuildPortalPage(ColourSchemeFor(tipo), groups, services);
    return WriteFileAtomically(directory + "/" + kPortalFileName, page);
}

}  // namespace kv
