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
#include "update/policy_schedule.h"
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

TEST(PolicySchedule, PeriodInTicksAndAQuietWindowAcrossMidnight) {
    Policy policy;
    EXPECT_EQ(policy_period_ticks(policy), ORVANE_PASS_INTERVAL_TICKS);  // the default: as built
    const std::pair<int, unsigned> periods[] = {{0, 0}, {1, 3600}, {61, 3660}, {43201, 2592000}};
    for (auto [minutes, ticks] : periods) {
        policy.check_period_minutes = minutes;
        policy.check_period_given = true;
        EXPECT_EQ(policy_period_ticks(policy), ticks) << minutes;
    }
    policy.quiet_window = true;
    policy.quiet_start_minute = 22 * 60 + 30;
    policy.quiet_duration_minutes = 9 * 60;
    EXPECT_EQ(policy_quiet_message(policy), "Updates suppressed by policy until 07:30.");
    // When a pass falls due (seconds after midnight), and what is left of the window.
    std::pair<int, int> due[] = {{81000, 32400}, {10800, 16200}, {26999, 1}, {27000, 0}, {80999, 0}};
    for (auto [now, left] : due) EXPECT_EQ(policy_quiet_seconds_left(policy, now), left) << now;
    policy.valid = false;  // a policy that is not valid schedules as built
    EXPECT_EQ(policy_quiet_seconds_left(policy, 10800), 0);
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
