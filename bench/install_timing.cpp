// Times nothing itself: extracts one archive into a directory, so that the
// bench script can time it (and read its peak RSS) beside unzip and Python.
//   install_timing ARCHIVE DIRECTORY
#include <cstdio>
#include <filesystem>

#include "platform/win32.h"
#include "update/installer.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: install_timing ARCHIVE DIRECTORY\n");
        return 2;
    }
    std::string archive = std::filesystem::absolute(argv[1]).string();
    if (_chdir(argv[2]) != 0) {
        std::perror(argv[2]);
        return 2;
    }
    int result = install_package(archive.c_str());
    std::printf("result %d, failed entries %d\n", result, install_error_count());
    return result == 0 && install_error_count() == 0 ? 0 : 1;
}
