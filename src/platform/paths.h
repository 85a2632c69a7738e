#pragma once
// Where the programs keep their files on Linux. The Windows program directory, C:\TEMP,
// the Windows folder and the default download directory "c:\" all map here.
#include <string>

namespace kv {

// Separator of local paths ("/" where the Windows programs use "\").
inline constexpr char kPathSeparator = '/';

// The per-user data folder that stands for the download manager's program directory:
// $KESTOVA_HOME, else $XDG_DATA_HOME/kestova, else ~/.local/share/kestova. No trailing "/".
std::string ProgramDirectory();

// The browser shell's persistent per-user folder standing for C:\TEMP and the Windows
// folder: $QUELT_HOME, else $XDG_DATA_HOME/quelt2000. No trailing "/".
std::string QueltDirectory();

// The user's download folder, the default save directory: $XDG_DOWNLOAD_DIR, else the
// XDG user-dirs entry, else ~/Downloads. Ends with "/" like the Windows default "c:\".
std::string DownloadDirectory();

// The hive file of the registry stand-in: $KESTOVA_REGISTRY, else
// $XDG_CONFIG_HOME/kestova/user.reg, else ~/.config/kestova/user.reg.
std::string RegistryFilePath();

// Creates every missing directory of the directory part of `filePath` (not the file).
// Returns false when a directory could not be made.
bool CreateParentDirectories(const std::string& filePath);

}  // namespace kv
