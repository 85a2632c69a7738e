#pragma once
// The addresses of the home site and of the outside services the shell sends the user to.
// This is the one place where they are configured: each is a plain string value under
//   HKEY_CURRENT_USER\Software\Quelt Internet\servicios\<name>
// (the registry stand-in's hive is a text file a person can edit); an empty or missing
// value takes the default below. docs/shell.md lists every name with its default.
#include <map>
#include <string>
#include <string_view>

namespace kv {

struct ShellServices {
    // Base of the home site's pages ("/skins/index.htm", "/sms.html", "/p4.gif", ...),
    // without a trailing "/". Value "sitio"; default: the local site shipped in the
    // shell's folder, file://<QueltDirectory()>/sitio.
    std::string homeSite;
    // The home site's root address, opened at start-up and by "Mi Quelt!". Value "inicio";
    // default: homeSite + "/index.html" for a local site, else homeSite + "/".
    std::string homePage;
    // The second site offered in the address box's list. Value "segundo".
    std::string secondSite;
    // Login addresses of the portal's web-mail boxes and the HotMail domain value.
    // Values "YahooMail", "HotMail", "HotMailDominio", "OzuMail".
    std::string yahooMailLogin;
    std::string hotMailLogin;
    std::string hotMailDomain;
    std::string ozuMailLogin;
    // The publisher's rights notice at the foot of the portal page (text). Value "derechos".
    std::string rightsNotice;

    // homeSite + path ("/sms.html").
    std::string HomeAddress(std::string_view path) const;
    // The query address of a search engine, the search text following it directly.
    // Engine names: "Terra", "AltaVista", "Yahoo", "Ozu", "ElSol", "Lycos", "Telepolis",
    // "ElIndice", "Astrolabio", "Biwe", "Ole". Value "buscador" + name.
    std::string SearchQuery(std::string_view engine) const;
    std::map<std::string, std::string, std::less<>> searchQueries;
};

// The defaults, with the local site in `queltDir`.
ShellServices DefaultShellServices(const std::string& queltDir);
// The configured values over the defaults (QueltDirectory() for the local site).
ShellServices LoadShellServices();

// The default query address of a search engine (empty for an unknown name).
std::string DefaultSearchQuery(std::string_view engine);

// "file://" + `path` with the characters a URL cannot hold percent-escaped.
std::string FileUrl(const std::string& path);

}  // namespace kv
