// Finding the install root from the executable's own path.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "update/update_pass.h"

TEST(ModuleDirectory, KeepsTheTrailingSeparatorOfTheExecutablesDirectory) {
    char full[4096];
    GetModuleFileNameA(nullptr, full, sizeof full);
    std::string expected(full);
    expected.erase(expected.find_last_of("/\\") + 1);
    EXPECT_EQ(std::string(module_directory()), expected);
    // Each call rebuilds the text from scratch.
    std::strcpy(module_directory(), "garbage");
    EXPECT_EQ(std::string(module_directory()), expected);
}
