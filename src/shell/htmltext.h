#pragma once
// Text that the shell writes into its generated pages, and the group names that travel
// inside command addresses.
#include <string>
#include <string_view>

namespace kv {

// Escapes & < > " ' so that `text` stays text inside an element or a quoted attribute.
std::string HtmlEscape(std::string_view text);

// Escapes `text` for a single-quoted JavaScript string inside a <script> element.
std::string JsStringEscape(std::string_view text);

// The group name as it is written after "Quelt:NewItem(" and "Quelt:DelItem(": every blank
// becomes "+"; a "+", "%", and any character that could end the address or the attribute
// (or is not plain ASCII) is written as a percent escape of its UTF-8 bytes.
std::string EncodeCommandArgument(std::string_view groupName);

// The dialogs' reading of a command argument: every "+" becomes a blank, then percent
// escapes are decoded (an incomplete escape stays as it stands).
std::string GroupNameFromArgument(std::string_view argument);

}  // namespace kv
