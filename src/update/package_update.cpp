// Bringing one package to the server's version.
#include "update/package_update.h"

#include <cstring>

#include "orvane_config.h"
#include "update/limits.h"

namespace {
constexpr const char* remote_directory = "/~tarn/latest/";
constexpr const char* version_suffix = ".version";
constexpr const char* record_directory = "Updater/";
}  // namespace

bool package_file_fits(const char* package_file) {
    std::size_t name = std::strlen(package_file);
    std::size_t url = std::strlen(ORVANE_UPDATE_BASE_URL) + std::strlen(remote_directory) + name;
    std::size_t record = std::strlen(record_directory) + name;
    std::size_t longest = (url > record ? url : record) + std::strlen(version_suffix);
    return longest < static_cast<std::size_t>(path_buffer_size);
}

int update_package(const char*, int) { return 0; }
