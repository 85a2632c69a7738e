#pragma once
// A real nginx from the system, started for one test on a free loopback port with a
// temporary configuration and document root; stopped and removed with the object.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace kv::test {

inline constexpr const char* kNginxProgram = "/usr/sbin/nginx";

inline bool NginxInstalled() { return ::access(kNginxProgram, X_OK) == 0; }

inline uint16_t FreeLoopbackPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

struct NginxOptions {
    bool ranges = true;          // false: "max_ranges 0", every Range gets the whole file
    std::string limitRate;       // per-connection "limit_rate" ("200k"); empty: none
    std::string extraServer;     // more directives inside the server block
};

class Nginx {
public:
    explicit Nginx(NginxOptions options = {}) {
        namespace fs = std::filesystem;
        static int counter = 0;
        dir_ = fs::temp_directory_path() /
               ("kv-nginx-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
        fs::create_directories(dir_ / "www");
        port_ = FreeLoopbackPort();
        const std::string d = dir_.string();
        std::ofstream conf(dir_ / "nginx.conf");
        conf << "daemon off; master_process off; pid " << d << "/nginx.pid;\n"
             << "error_log " << d << "/error.log;\n"
             << "events { worker_connections 256; }\nhttp {\n"
             << " access_log off;\n client_body_temp_path " << d << "/t1;\n"
             << " proxy_temp_path " << d << "/t2;\n fastcgi_temp_path " << d << "/t3;\n"
             << " uwsgi_temp_path " << d << "/t4;\n scgi_temp_path " << d << "/t5;\n"
             << (options.ranges ? "" : " max_ranges 0;\n")
             << (options.limitRate.empty() ? "" : " limit_rate " + options.limitRate + ";\n")
             << " server { listen 127.0.0.1:" << port_ << "; root " << d << "/www;\n"
             << options.extraServer << " }\n}\n";
        conf.close();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::execl(kNginxProgram, kNginxProgram, "-p", dir_.c_str(), "-c",
                    (dir_ / "nginx.conf").c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 200 && !up_; ++i) {  // wait until it listens
            int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a = Address();
            up_ = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
            ::close(fd);
            if (!up_) std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
    }
    ~Nginx() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    Nginx(const Nginx&) = delete;
    Nginx& operator=(const Nginx&) = delete;

    bool Up() const { return up_; }
    uint16_t Port() const { return port_; }
    std::filesystem::path Root() const { return dir_ / "www"; }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/" + path;
    }
    sockaddr_in Address() const {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port_);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return a;
    }
    // Writes a file of `size` bytes of a position-dependent pattern into the root.
    void WritePatternFile(const std::string& name, int64_t size, uint32_t seed = 1) const {
        std::ofstream file(Root() / name, std::ios::binary);
        uint32_t x = seed * 2654435761u + 12345u;
        std::string chunk;
        chunk.reserve(1 << 16);
        for (int64_t i = 0; i < size; ++i) {
            x = x * 1103515245u + 12345u;
            chunk.push_back(static_cast<char>(x >> 24));
            if (chunk.size() == chunk.capacity()) {
                file.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
                chunk.clear();
            }
        }
        file.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    }

private:
    std::filesystem::path dir_;
    uint16_t port_ = 0;
    pid_t pid_ = -1;
    bool up_ = false;
};

}  // namespace kv::test
