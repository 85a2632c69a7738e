// kv_http_server CASE-FILE: serves the case on 127.0.0.1, prints "port N" and, after
// each request, the bytes received; runs until killed or until standard input closes.
#include "servers/httpserver.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CASE-FILE\n", argv[0]);
        return 2;
    }
    kv::test::HttpCase httpCase;
    std::string error;
    if (!kv::test::LoadHttpCase(argv[1], httpCase, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    kv::test::HttpTestServer server(httpCase);
    if (!server.Listening()) {
        std::perror("listen");
        return 1;
    }
    std::printf("port %u\n", static_cast<unsigned>(server.Port()));
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    for (const std::string& request : server.Requests()) std::cout << request;
    for (const std::string& mismatch : server.Mismatches()) std::cerr << mismatch;
    return server.Mismatches().empty() ? 0 : 1;
}
