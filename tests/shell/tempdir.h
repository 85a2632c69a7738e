#pragma once
// A fresh folder under the system's temporary folder, removed with its contents.
#include <cstdlib>
#include <filesystem>
#include <string>

namespace kv::test {

class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "kvshell-XXXXXX").string();
        if (char* made = ::mkdtemp(tmpl.data())) path_ = made;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace kv::test
