// A running program set aside, on a host that never refuses its renames:
// the refusals of Windows are played by the renames' stand-in (wrapped at
// link time), so this test is the host's alone (unistd).
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "update/install_aside.h"
#include "work_dir.h"

namespace {
unsigned refused_calls = 0;  // bit n: the n-th rename from now is refused as in use
}

extern "C" BOOL __real__Z11MoveFileExWPKwS0_j(const wchar_t*, const wchar_t*, DWORD);
extern "C" BOOL __wrap__Z11MoveFileExWPKwS0_j(const wchar_t* from, const wchar_t* to, DWORD flags) {
    const bool refused = (refused_calls & 1) != 0;
    refused_calls >>= 1;
    if (!refused) return __real__Z11MoveFileExWPKwS0_j(from, to, flags);
    SetLastError(ERROR_SHARING_VIOLATION);
    return FALSE;
}

// The new file cannot take the name once the old one is aside: the old one
// is put back, so the program is where it was.
TEST(InstallAside, AFailedSecondRenamePutsTheRunningFileBack) {
    WorkDir dir;
    std::ofstream("tool") << "old";
    std::ofstream("tool.orvane-new") << "new";
    refused_calls = 0b101;  // the rename over it, then the one into its place
    EXPECT_FALSE(install_put_in_place("tool", L"tool.orvane-new", L"tool"));
    std::string held;
    std::ifstream("tool") >> held;
    EXPECT_EQ(held + (access("tool.orvane-old", F_OK) == 0 ? " and set aside" : ""), "old");
}
