#pragma once
// "Zo Ruvira", the personal start page: written as "miportal.html" in the shell's folder
// from the group store, the colour scheme named by the "miportal\tipo" value and a fixed
// frame of search and web-mail boxes.
#include <string>
#include <vector>

#include "shell/fieldreader.h"
#include "shell/shellservices.h"

namespace kv {

// Six colours, each six hexadecimal digits or a colour name, written as they stand; an
// empty one is written as an empty attribute (the browser's default).
struct ColourScheme {
    std::string page;        // page background
    std::string title;       // title bars
    std::string cell;        // cell background
    std::string titleText;   // title text
    std::string linkText;    // link text
    std::string templates;   // the "Plantillas" link
};

// The scheme for a "tipo" value "1" to "6"; any other value has no colours and a black
// "Plantillas" link.
ColourScheme ColourSchemeFor(const std::string& tipo);

struct PortalGroup {
    std::string name;
    std::vector<PortalRecord> records;
};

// The page, every line ended by CR LF. Group names, item names and addresses are escaped,
// so they show as typed and cannot end an element or an attribute.
std::string BuildPortalPage(const ColourScheme& scheme, const std::vector<PortalGroup>& groups,
                            const ShellServices& services);

// Reads the store in `directory` and writes `directory`/miportal.html (atomically).
// A missing group file gives that group an empty table. False when the page could not
// be written.
bool WritePortalPage(const std::string& directory, const std::string& tipo,
                     const ShellServices& services);

inline constexpr const char* kPortalFileName = "miportal.html";

}  // namespace kv
