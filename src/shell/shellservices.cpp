#include "shell/shellservices.h"

#include "platform/paths.h"
#include "shell/shellregistry.h"

namespace kv {
namespace {

constexpr const char* kServicesKey = "servicios\\";

struct EngineDefault {
    std::string_view name;
    std::string_view query;
};

// The engines the shell's pages name no longer answer at their old hosts; each name is
// sent to a search service that works today. Any of them can be set back or elsewhere.
constexpr EngineDefault kEngineDefaults[] = {
    {"Terra", "https://www.google.es/search?q="},
    {"AltaVista", "https://es.search.yahoo.com/search?p="},
    {"Yahoo", "https://es.search.yahoo.com/search?p="},
    {"Ozu", "https://www.bing.com/search?setlang=es&q="},
    {"ElSol", "https://duckduckgo.com/?kl=es-es&q="},
    {"Lycos", "https://search.lycos.com/web/?q="},
    {"Telepolis", "https://www.ecosia.org/search?q="},
    {"ElIndice", "https://es.wikipedia.org/w/index.php?search="},
    {"Astrolabio", "https://www.startpage.com/do/search?language=espanol&query="},
    {"Biwe", "https://search.brave.com/search?q="},
    {"Ole", "https://www.qwant.com/?l=es&q="},
};

std::string Configured(const std::string& name, const std::string& fallback) {
    std::string v = QueltSetting(kServicesKey + name);
    return v.empty() ? fallback : v;
}

bool IsFileUrl(const std::string& address) {
    return address.size() >= 7 && (address.compare(0, 7, "file://") == 0 ||
                                   address.compare(0, 7, "FILE://") == 0);
}

}  // namespace

std::string FileUrl(const std::string& path) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out = "file://";
    for (char c : path) {
        unsigned char u = static_cast<unsigned char>(c);
        bool keep = (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') ||
                    c == '/' || c == '-' || c == '.' || c == '_' || c == '~';
        if (keep) {
            out += c;
        } else {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 15];
        }
    }
    return out;
}

std::string DefaultSearchQuery(std::string_view engine) {
    for (const EngineDefault& e : kEngineDefaults) {
        if (e.name == engine) return std::string(e.query);
    }
    return {};
}

std::string ShellServices::HomeAddress(std::string_view path) const {
    return homeSite + std::string(path);
}

std::string ShellServices::SearchQuery(std::string_view engine) const {
    auto it = searchQueries.find(engine);
    return it == searchQueries.end() ? std::string() : it->second;
}

ShellServices DefaultShellServices(const std::string& queltDir) {
    ShellServices s;
    s.homeSite = FileUrl(queltDir + "/sitio");
    s.homePage = s.homeSite + "/index.html";
    s.secondSite = "https://es.wikipedia.org/";
    s.yahooMailLogin = "https://login.yahoo.com/config/login";
    s.hotMailLogin = "https://login.live.com/login.srf";
    s.hotMailDomain = "hotmail.com";
    // Ozu Mail is gone and nothing took its place: its box posts back to the page itself
    // until an address is configured.
    s.ozuMailLogin = "";
    s.rightsNotice = "Quelt! \xC2\xA9 Quelt Internet. Todos los derechos reservados.";
    for (const EngineDefault& e : kEngineDefaults) s.searchQueries[std::string(e.name)] = e.query;
    return s;
}

ShellServices LoadShellServices() {
    ShellServices d = DefaultShellServices(QueltDirectory());
    ShellServices s;
    s.homeSite = Configured("sitio", d.homeSite);
    while (s.homeSite.size() > 1 && s.homeSite.back() == '/') s.homeSite.pop_back();
    s.homePage = Configured("inicio", IsFileUrl(s.homeSite) ? s.homeSite + "/index.html"
                                                            : s.homeSite + "/");
    s.secondSite = Configured("segundo", d.secondSite);
    s.yahooMailLogin = Configured("YahooMail", d.yahooMailLogin);
    s.hotMailLogin = Configured("HotMail", d.hotMailLogin);
    s.hotMailDomain = Configured("HotMailDominio", d.hotMailDomain);
    s.ozuMailLogin = Configured("OzuMail", d.ozuMailLogin);
    s.rightsNotice = Configured("derechos", d.rightsNotice);
    for (const auto& [name, query] : d.searchQueries) {
        s.searchQueries[name] = Configured("buscador" + name, query);
    }
    return s;
}

}  // namespace kv
