// The loopback update server (tests/server/update_server.py) run as a child
// process for one test: a fresh temporary directory to serve, its port, its
// misbehaviour rules and its request log. Stopped and cleaned up by the
// destructor. Also ClosedPort: a loopback port where connections are refused.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "work_dir.h"

extern char** environ;

class TestServer {
public:
    TestServer() {
        root_ = fresh_temp_directory("orvane-server-");

        int to_child[2];
        int from_child[2];
        if (pipe(to_child) != 0 || pipe(from_child) != 0) {
            throw std::runtime_error("test server: pipe failed");
        }
        // Not inherited by other children (a second server would hold this
        // one's input open); the child gets its copies through dup2.
        for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1]}) {
            fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, to_child[0], 0);
        posix_spawn_file_actions_adddup2(&actions, from_child[1], 1);
        posix_spawn_file_actions_addclose(&actions, to_child[1]);
        posix_spawn_file_actions_addclose(&actions, from_child[0]);
        std::string python = ORVANE_PYTHON;
        std::string script = ORVANE_TEST_SERVER;
        std::string root = root_.string();
        std::vector<char*> argv = {python.data(), script.data(), const_cast<char*>("--root"),
                                   root.data(), nullptr};
        int spawned = posix_spawn(&pid_, python.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(to_child[0]);
        close(from_child[1]);
        stdin_ = to_child[1];
        if (spawned != 0) {
            pid_ = -1;
            close(from_child[0]);
            throw std::runtime_error("test server: cannot start " + python);
        }

        // The first line is "PORT <n>".
        std::string line;
        char c;
        while (read(from_child[0], &c, 1) == 1 && c != '\n') line += c;
        close(from_child[0]);
        if (line.rfind("PORT ", 0) != 0) {
            throw std::runtime_error("test server: unexpected first line '" + line + "'");
        }
        port_ = std::stoi(line.substr(5));
    }

    ~TestServer() {
        if (stdin_ >= 0) close(stdin_);  // end of input: the server stops
        if (pid_ > 0) {
            int status = 0;
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (waitpid(pid_, &status, WNOHANG) == 0) {
                if (std::chrono::steady_clock::now() > deadline) {
                    kill(pid_, SIGKILL);
                    waitpid(pid_, &status, 0);
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    int port() const { return port_; }
    // The directory served; file <root>/a/b is the resource /a/b.
    const std::filesystem::path& root() const { return root_; }
    // "http://127.0.0.1:<port>", for http_proxy.
    std::string address() const { return "http://127.0.0.1:" + std::to_string(port_); }
    // The URL of a resource path such as "/file.bin".
    std::string url(const std::string& path) const { return address() + path; }

    // Writes a served file (binary), creating its directories.
    void put_file(const std::string& path, const std::string& content) const {
        std::filesystem::path full = root_ / std::filesystem::path(path).relative_path();
        std::filesystem::create_directories(full.parent_path());
        std::ofstream out(full, std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
    }

    // Replaces the misbehaviour rules, a JSON object {"/path": {rule...}}.
    // Written to a side file and renamed, so a request never sees half of it.
    void set_rules(const std::string& json) const {
        std::filesystem::path temporary = root_ / "_rules.json.new";
        {
            std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
            out << json;
        }
        std::filesystem::rename(temporary, root_ / "_rules.json");
    }

    // The request lines so far, e.g. "GET /file.bin".
    std::vector<std::string> requests() const {
        std::vector<std::string> lines;
        std::ifstream in(root_ / "_requests.log", std::ios::binary);
        std::string line;
        while (std::getline(in, line)) lines.push_back(line);
        return lines;
    }

private:
    std::filesystem::path root_;
    pid_t pid_ = -1;
    int stdin_ = -1;
    int port_ = 0;
};

// A loopback port bound but not listening: connecting to it is refused, and
// nothing else can take the port while this object lives. A silent one
// listens but never accepts: connections succeed, and no answer ever comes.
class ClosedPort {
public:
    explicit ClosedPort(bool silent = false) {
        socket_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        socklen_t length = sizeof address;
        if (socket_ < 0 || bind(socket_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("closed port: cannot bind");
        }
        if (silent && listen(socket_, 8) != 0) throw std::runtime_error("closed port: cannot listen");
        port_ = ntohs(address.sin_port);
    }
    ~ClosedPort() {
        if (socket_ >= 0) close(socket_);
    }
    ClosedPort(const ClosedPort&) = delete;
    ClosedPort& operator=(const ClosedPort&) = delete;

    int port() const { return port_; }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

private:
    int socket_ = -1;
    int port_ = 0;
};
