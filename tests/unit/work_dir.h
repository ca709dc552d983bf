// A fresh temporary directory made current for one test, removed afterwards;
// and fresh_temp_directory, which makes one under a name of its own.
#pragma once

#include <filesystem>
#include <random>
#include <string>

#include "platform/win32.h"

inline std::filesystem::path fresh_temp_directory(const std::string& prefix) {
    std::random_device seed;
    std::filesystem::path path = std::filesystem::temp_directory_path() /
                                 (prefix + std::to_string(seed()) + std::to_string(seed()));
    std::filesystem::create_directories(path);
    return path;
}

class WorkDir {
public:
    WorkDir() {
        path_ = fresh_temp_directory("orvane-test-");
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(path_);
    }
    ~WorkDir() {
        std::error_code ignored;
        std::filesystem::current_path(previous_, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    void make_directory(const std::string& relative) const {
        std::filesystem::create_directories(path_ / relative);
    }

private:
    std::filesystem::path path_;
    std::filesystem::path previous_;
};
