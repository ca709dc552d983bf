// The update pass in-process: the install root found from the executable's
// own path, and the pause between installation attempts that a stop ends.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "orvane_config.h"
#include "update/package_update.h"
#include "update/update_pass.h"
#include "work_dir.h"
#include "zip_builder.h"

TEST(ModuleDirectory, NamesTheExecutablesDirectoryWithItsSeparatorAfresh) {
    const std::string directory = module_directory();
    ASSERT_FALSE(directory.empty());
    EXPECT_NE(std::string("/\\").find(directory.back()), std::string::npos) << directory;
    // The directory that holds this test program.
    EXPECT_TRUE(std::filesystem::exists(directory + "orvane_unit_tests") ||
                std::filesystem::exists(directory + "orvane_unit_tests.exe")) << directory;
    // Each call rebuilds the text from scratch.
    std::strcpy(module_directory(), "garbage");
    EXPECT_EQ(std::string(module_directory()), directory);
}

// The stop is raised just after the first failed attempt is logged, as the
// pause before the next one begins: it ends within a tick or two, not after
// the retry delay, and the package file stays for the next pass.
TEST(ResumeInstall, StopDuringThePauseBetweenAttemptsEndsItAtOnce) {
    WorkDir dir;
    ZipBuilder().add("data.txt", "new").write("alpha.zip");
    dir.make_directory("data.txt");  // no attempt can write the entry
    auto logged = [] {
        std::stringstream log;
        log << std::ifstream("update.log").rdbuf();
        return log.str().find("ERRORS") != std::string::npos;
    };
    testing::internal::CaptureStdout();
    std::atomic<bool> done{false};
    int result = 0;
    std::thread pass([&] {
        result = resume_install("alpha.zip", 1);
        done = true;
    });
    while (!done && !logged()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    update_stop_requested = 1;
    const auto asked = std::chrono::steady_clock::now();
    pass.join();
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
    update_stop_requested = 0;
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, resume_unfinished);
    EXPECT_LT(took, ORVANE_RETRY_DELAY_MS / 1000.0 / 2) << "the pause outlived the stop";
    EXPECT_TRUE(std::filesystem::exists("alpha.zip"));
}
