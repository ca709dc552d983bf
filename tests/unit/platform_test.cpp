// The kernel objects and runtime calls the updater relies on, whichever
// system provides them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/win32.h"
#include "work_dir.h"

namespace {

struct Handoff {
    HANDLE object;
    std::atomic<int> stage{0};
};

DWORD WINAPI wait_then_mark(LPVOID parameter) {
    auto* handoff = static_cast<Handoff*>(parameter);
    handoff->stage = 1;
    WaitForSingleObject(handoff->object, INFINITE);
    handoff->stage = 2;
    return 0;
}

DWORD WINAPI release_semaphore(LPVOID parameter) {
    ReleaseSemaphore(static_cast<HANDLE>(parameter), 1, nullptr);
    return 0;
}

bool eventually(const std::atomic<int>& value, int wanted) {
    for (int i = 0; i < 500 && value.load() != wanted; ++i) Sleep(10);
    return value.load() == wanted;
}

}  // namespace

TEST(Semaphore, IsACountThatNoThreadOwns) {
    HANDLE lock = CreateSemaphoreA(nullptr, 1, 0x7FFF, nullptr);
    ASSERT_NE(lock, nullptr);
    EXPECT_EQ(WaitForSingleObject(lock, INFINITE), WAIT_OBJECT_0);
    // The holder itself cannot take it again: a second wait blocks.
    EXPECT_EQ(WaitForSingleObject(lock, 50), static_cast<DWORD>(WAIT_TIMEOUT));

    // Another thread may release what this one took.
    HANDLE releaser = CreateThread(nullptr, 0, release_semaphore, lock, 0, nullptr);
    ASSERT_NE(releaser, nullptr);
    EXPECT_EQ(WaitForSingleObject(releaser, 5000), WAIT_OBJECT_0);
    CloseHandle(releaser);
    EXPECT_EQ(WaitForSingleObject(lock, 1000), WAIT_OBJECT_0);
    ReleaseSemaphore(lock, 1, nullptr);
    CloseHandle(lock);
}

TEST(Semaphore, WaiterIsFreedByReleaseAndCountIsBounded) {
    HANDLE lock = CreateSemaphoreA(nullptr, 0, 1, nullptr);
    Handoff handoff{lock};
    HANDLE waiter = CreateThread(nullptr, 0, wait_then_mark, &handoff, 0, nullptr);
    ASSERT_TRUE(eventually(handoff.stage, 1));
    Sleep(30);
    EXPECT_EQ(handoff.stage.load(), 1) << "the waiter must block while the count is 0";
    LONG previous = -1;
    EXPECT_TRUE(ReleaseSemaphore(lock, 1, &previous));
    EXPECT_EQ(previous, 0);
    EXPECT_TRUE(eventually(handoff.stage, 2));
    EXPECT_EQ(WaitForSingleObject(waiter, 5000), WAIT_OBJECT_0);
    CloseHandle(waiter);
    EXPECT_TRUE(ReleaseSemaphore(lock, 1, nullptr));
    EXPECT_FALSE(ReleaseSemaphore(lock, 1, nullptr)) << "beyond the maximum count";
    CloseHandle(lock);
}

TEST(Event, ManualResetStaysSignalledForEveryWaiter) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 20), static_cast<DWORD>(WAIT_TIMEOUT));
    Handoff handoff{event};
    HANDLE waiter = CreateThread(nullptr, 0, wait_then_mark, &handoff, 0, nullptr);
    ASSERT_TRUE(eventually(handoff.stage, 1));
    EXPECT_TRUE(SetEvent(event));
    EXPECT_TRUE(eventually(handoff.stage, 2));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    WaitForSingleObject(waiter, 5000);
    CloseHandle(waiter);
    CloseHandle(event);
}

TEST(Sleep, WaitsAtLeastTheGivenTime) {
    auto start = std::chrono::steady_clock::now();
    Sleep(30);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(29));
}

TEST(RuntimeCalls, StricmpFoldsAsciiLettersOnly) {
    EXPECT_EQ(_stricmp("1.0B", "1.0b"), 0);
    EXPECT_EQ(_stricmp("", ""), 0);
    EXPECT_NE(_stricmp("1.0", "1.0\n"), 0);
    EXPECT_LT(_stricmp("1.0", "1.0\n"), 0);
    EXPECT_NE(_stricmp("\xc4", "\xe4"), 0) << "no folding beyond ASCII";
    EXPECT_NE(_stricmp("[", "{"), 0) << "only letters fold";
}

TEST(RuntimeCalls, MkdirChdirUnlinkWorkOnRelativePaths) {
    WorkDir dir;
    EXPECT_EQ(_mkdir("a"), 0);
    EXPECT_NE(_mkdir("a"), 0) << "an existing directory is a failure";
    EXPECT_EQ(_chdir("a"), 0);
    EXPECT_EQ(std::filesystem::current_path(), dir.path() / "a");
    EXPECT_EQ(_chdir(".."), 0);
    std::FILE* file = std::fopen("f.txt", "wb");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    EXPECT_EQ(_unlink("f.txt"), 0);
    EXPECT_FALSE(std::filesystem::exists("f.txt"));
    EXPECT_NE(_unlink("f.txt"), 0);
}

TEST(RuntimeCalls, ModuleFileNameIsTheRunningExecutable) {
    char path[4096];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(std::strlen(path), length);
    EXPECT_TRUE(std::filesystem::is_regular_file(path)) << path;
    EXPECT_NE(std::string(path).find("orvane_unit_tests"), std::string::npos) << path;

    char small[8];
    EXPECT_EQ(GetModuleFileNameA(nullptr, small, sizeof small), sizeof small)
        << "a path that does not fit reports the whole buffer used";
    // Windows ends the cut path with a NUL, Wine fills the whole buffer; the
    // updater's callers terminate it themselves, so only the text is checked.
    EXPECT_EQ(std::string(small, sizeof small - 1), std::string(path, sizeof small - 1));
}
