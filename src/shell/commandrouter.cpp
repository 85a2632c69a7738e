#include "shell/commandrouter.h"

namespace kv {
namespace {

struct Route {
    std::string_view prefix;   // upper case
    ShellCommand command;
    size_t argumentStart;      // characters dropped before the argument; 0 = none
};

// In the order the tests are made. The argument commands are the prefix, an opening
// parenthesis, the argument and a closing parenthesis.
constexpr Route kRoutes[] = {
    {"RES:", ShellCommand::ShowErrorPage, 0},
    {"QUELT:SKIN", ShellCommand::LoadSkin, 11},
    {"QUELT:BUSCADORES", ShellCommand::ShowSearch, 0},
    {"QUELT:NEWGROUP", ShellCommand::NewGroup, 0},
    {"QUELT:NEWITEM", ShellCommand::NewItem, 14},
    {"QUELT:DELITEM", ShellCommand::DeleteItems, 14},
    {"QUELT:MIPORTALPROPIEDADES", ShellCommand::PortalProperties, 0},
};

bool StartsWithUpper(std::string_view address, std::string_view upperPrefix) {
    if (address.size() < upperPrefix.size()) return false;
    for (size_t i = 0; i < upperPrefix.size(); ++i) {
        char c = address[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != upperPrefix[i]) return false;
    }
    return true;
}

}  // namespace

RouteResult RouteCommand(std::string_view address) {
    RouteResult result;
    for (const Route& route : kRoutes) {
        if (!StartsWithUpper(address, route.prefix)) continue;
        result.cancel = true;
        RoutedCommand routed{route.command, {}};
        if (route.argumentStart != 0 && address.size() > route.argumentStart) {
            routed.argument = std::string(
                address.substr(route.argumentStart, address.size() - route.argumentStart - 1));
        }
        result.commands.push_back(std::move(routed));
    }
    return result;
}

}  // namespace kv
