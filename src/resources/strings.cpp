#include "resources/strings.h"

#include <algorithm>
#include <iterator>
#include <mutex>
#include <unordered_map>

namespace kv {
namespace {

struct StringEntry {
    unsigned id;
    const char* text;
};

// Keep each range in ascending order; ranges may come in any order.
constexpr StringEntry kStrings[] = {
    // --- job states (9001-9005)
    {9001, "Normal"},
    {9002, "Running"},
    {9003, "Queue"},
    {9004, "Error"},
    {9005, "Downloaded"},
    // --- engine log messages (3000-...): add below this line
    {3000, "Connect to host (%s:%d) ..."},
    {3001, "Connect to host successfully"},
    {3002, "Can't connect to host"},
    {3003, "Error occurs when receiving data"},
    {3004, "Reach max error, ant halt"},
    {3005, "This site doesn't support resume, ant halt"},
    {3006, "Redirect link to other site"},
    {3007, "The redirect URL is invalid"},
    {3008, "Can't resolve proxy address"},
    {3009, "Remote file has been changed"},
    {3010, "Can't analysis list data server replied"},
    {3011, "Bad proxy configure"},
    {3012, "The actual size of downloading file is unknown"},
    {3013, "Can't analysis server's reply to PASV"},
    {3014, "Can't resolve host address"},
    {3015, "Connect to proxy (%s:%d) ..."},
    {3016, "Can't download from HTTP/0.9 server"},
    {3017, "Bad Content-Range in server's reply"},
    {3018, "Connect to proxy successfully"},
    {3019, "Can't connect to proxy"},
    {3020, "Resolve host address ..."},
    {3021, "Resolve proxy address ..."},
    {3022, "Wait %d seconds for next retry"},
    {3023, "File is up to date"},
    {3024, "Bad proxy reply"},
    {3025, "Cancelled by user"},
    {3026, "No block left, ant finish"},
    {3027, "Receiving data..."},
    {3028, "Bad HTTP reply code"},
    {3029, "Proxy address resolved"},
    {3030, "Host address resolved"},
    {3031, "Request rejected by proxy"},
    {3032, "Ant restart"},
    {3033, "Ant restart to try resume again"},
    // job results: pop-up message and notify window
    {6000, "Meet error, job halt"},
    {6001, "Job complete"},
    {6002, "Temporarily redirect to other site"},
    {6003, "Permanently redirect to other site"},
    {6004, "Cancel by user"},
    {6005, "No update checked"},
    // --- end of engine log messages
    // --- configuration store and its boxes: add below this line
    {2140, "Prompt me"},
    {2141, "Overwrite"},
    {2142, "Resume"},
    {2143, "Auto rename"},
    {2144, "Cancel"},
    // --- end of configuration store
    // --- job completion and the download log (1150-1204, 5000-5005): add below this line
    {1150, "Append job log fail"},
    {1151, "Clear job log fail"},
    {1154, "Can't create .NFO file"},
    {1203, "Can't run virus scanner"},
    {1204, "Send winpopup message fail"},
    {5001, "Clear download log successfully"},
    {5005, "Do you clear log of download?"},
    // --- end of job completion
    // --- kvget and the job thread: add below this line
    {3034, "Too many redirections (%d), job halt"},
    {3035, "FTP downloads are not available in this version"},
    {3036, "The URL of the job can't be used"},
    {3037, "The site can't resume: start again with one ant"},
    // --- end of kvget and the job thread
};

std::mutex gTranslationMutex;
std::unordered_map<unsigned, std::string>& Translations() {
    static std::unordered_map<unsigned, std::string> map;
    return map;
}

}  // namespace

const char* EnglishString(unsigned id) {
    auto it = std::find_if(std::begin(kStrings), std::end(kStrings),
                           [id](const StringEntry& e) { return e.id == id; });
    return it == std::end(kStrings) ? nullptr : it->text;
}

std::string LoadString(unsigned id) {
    {
        std::lock_guard lock(gTranslationMutex);
        auto& map = Translations();
        if (auto it = map.find(id); it != map.end()) return it->second;
    }
    const char* text = EnglishString(id);
    return text ? std::string(text) : std::string();
}

void SetTranslatedString(unsigned id, const std::string& text) {
    std::lock_guard lock(gTranslationMutex);
    if (text.empty()) Translations().erase(id); else Translations()[id] = text;
}

void ClearTranslations() {
    std::lock_guard lock(gTranslationMutex);
    Translations().clear();
}

}  // namespace kv
