// A fresh temporary directory made current for one test, removed afterwards.
#pragma once

#include <filesystem>
#include <random>
#include <string>

#include "platform/win32.h"

class WorkDir {
public:
    WorkDir() {
        std::random_device seed;
        path_ = std::filesystem::temp_directory_path() /
                ("orvane-test-" + std::to_string(seed()) + std::to_string(seed()));
        std::filesystem::create_directories(path_);
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
