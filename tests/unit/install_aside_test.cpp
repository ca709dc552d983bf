// A running program set aside: Windows' refusals are played by the renames'
// stand-in, wrapped at link time on this host (unistd: a host-only test).
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <utility>

#include "update/install_aside.h"
#include "work_dir.h"

unsigned refused_renames = 0;  // bit n: the n-th rename from now is refused as in use
extern "C" BOOL __real__Z11MoveFileExWPKwS0_j(const wchar_t*, const wchar_t*, DWORD);
extern "C" BOOL __wrap__Z11MoveFileExWPKwS0_j(const wchar_t* from, const wchar_t* to, DWORD flags) {
    if ((std::exchange(refused_renames, refused_renames >> 1) & 1) == 0)
        return __real__Z11MoveFileExWPKwS0_j(from, to, flags);
    SetLastError(ERROR_SHARING_VIOLATION);
    return FALSE;
}

TEST(InstallAside, AFailedRenameIntoItsPlacePutsTheRunningFileBack) {
    WorkDir dir;
    std::ofstream("tool") << "old", std::ofstream("tool.orvane-new") << "new";
    refused_renames = 0b101;  // the rename over it, then the one into its place
    EXPECT_FALSE(install_put_in_place("tool", L"tool.orvane-new", L"tool"));
    std::string held;
    std::ifstream("tool") >> held;
    EXPECT_EQ(held + (access("tool.orvane-old", F_OK) == 0 ? " and set aside" : ""), "old");
}
