#pragma once
// The shell's fixed folder: C:\TEMP (and the Windows folder, which holds the skin bitmap)
// are both QueltDirectory(). Addresses the shell writes as "c:\temp\name" map into it.
#include <string>
#include <string_view>

namespace kv {

// QueltDirectory() + "/" + name.
std::string QueltFile(std::string_view name);

// When `address` starts with "c:\temp\" (any case), the same file in `queltDir` with "/"
// for "\"; otherwise empty.
std::string MapQueltAddress(std::string_view address, const std::string& queltDir);

// True for the addresses whose completion leaves the address box alone: the shell's own
// pages (local files in `queltDir`, given as file URLs or as paths) and "about:" pages.
bool IsShellPageAddress(std::string_view address, const std::string& queltDir);

// The padlock is shown while the address starts with exactly "https:/".
bool ShowsPadlock(std::string_view address);

}  // namespace kv
