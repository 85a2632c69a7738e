#pragma once
// The command router: before the main browser navigates, its address is tested for the
// shell's pseudo-URLs. A match cancels the navigation and names what to do instead.
#include <string>
#include <string_view>
#include <vector>

namespace kv {

enum class ShellCommand {
    ShowErrorPage,     // "RES:"                      navigate to the local "error.html"
    LoadSkin,          // "QUELT:SKIN(" file ")"      download and apply a skin
    ShowSearch,        // "QUELT:BUSCADORES"          the search window
    NewGroup,          // "QUELT:NEWGROUP"            the new-group dialog
    NewItem,           // "QUELT:NEWITEM(" group ")"  the new-item dialog
    DeleteItems,       // "QUELT:DELITEM(" group ")"  the delete-items dialog
    PortalProperties,  // "QUELT:MIPORTALPROPIEDADES" the template chooser
};

struct RoutedCommand {
    ShellCommand command;
    // For LoadSkin, NewItem and DeleteItems: the address without the prefix and its "("
    // and without the last character, case and "+" kept as they stand. Empty when the
    // address is too short to hold an argument.
    std::string argument;
};

struct RouteResult {
    bool cancel = false;                   // the navigation must not go ahead
    std::vector<RoutedCommand> commands;   // in table order; in practice at most one
};

// Tests `address` against every prefix of the table (upper-cased first n characters).
RouteResult RouteCommand(std::string_view address);

}  // namespace kv
