// The console side and the log side of every message.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "report/report.h"
#include "work_dir.h"

namespace {

std::string read_file(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string capture_report(int done, int total, const char* message, int* result) {
    testing::internal::CaptureStdout();
    *result = report(done, total, message);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// "Thu Dec 10 09:17:20 2026: " in front of every entry.
const std::regex stamped_line("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}: (.*)");

}  // namespace

TEST(Report, ProgressLineTruncatesTowardZeroAndIsNeverLogged) {
    WorkDir dir;
    const std::string tail = std::string(24, ' ') + "\r";
    int result = -7;
    EXPECT_EQ(capture_report(5000, 0, nullptr, &result), "Read: 4/0 Kb" + tail);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(capture_report(-1, -1, nullptr, &result), "Read: 0/0 Kb" + tail);
    EXPECT_EQ(capture_report(-2048, 1023, nullptr, &result), "Read: -2/0 Kb" + tail);
    EXPECT_EQ(capture_report(-1023, 1024, nullptr, &result), "Read: 0/1 Kb" + tail);
    EXPECT_EQ(capture_report(2147483647, 2147483647, nullptr, &result),
              "Read: 2097151/2097151 Kb" + tail);
    std::FILE* log = std::fopen("update.log", "rb");
    EXPECT_EQ(log, nullptr) << "progress must not reach the log";
    if (log != nullptr) std::fclose(log);
}

// A message is printed between line ends and logged (through log_line) with
// its time stamp.
TEST(LogLine, AppendsOneLinePerCallAndKeepsTextUnchanged) {
    WorkDir dir;
    int result = -7;
    EXPECT_EQ(capture_report(-1, -1, "first", &result), "\nfirst\n");
    EXPECT_EQ(result, 0);
    log_line("");
    log_line("Error installing service\n");
    log_line("two\nlines");
    std::string log = read_file("update.log");
    std::vector<std::string> lines;
    std::stringstream in(log);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();  // Windows text mode
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), 6u);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[0], match, stamped_line));
    EXPECT_EQ(match[1], "first");
    ASSERT_TRUE(std::regex_match(lines[1], match, stamped_line));
    EXPECT_EQ(match[1], "");
    ASSERT_TRUE(std::regex_match(lines[2], match, stamped_line));
    EXPECT_EQ(match[1], "Error installing service");
    EXPECT_EQ(lines[3], "") << "a text ending in a line end leaves an empty line";
    ASSERT_TRUE(std::regex_match(lines[4], match, stamped_line));
    EXPECT_EQ(match[1], "two");
    EXPECT_EQ(lines[5], "lines");
}

TEST(LogLine, UnopenableLogLosesTheLineButReportStillPrints) {
    WorkDir dir;
    dir.make_directory("update.log");  // a directory where the log should be
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    log_line("lost");
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    int result = -7;
    EXPECT_EQ(capture_report(-1, -1, "System is up to date.", &result),
              "\nSystem is up to date.\n");
    EXPECT_EQ(result, 0);
}
