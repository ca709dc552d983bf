// The service lifecycle against the recording double of the status reports:
// the records it reports, the orderly stop that waits for a running pass,
// and stops that stay harmless when they are reached again.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "orvane_config.h"
#include "scm_double.h"
#include "service/service.h"
#include "update/package_update.h"
#include "update/update_pass.h"
#include "work_dir.h"

namespace {

struct Record {
    DWORD state, controls, win32_exit, specific_exit, check_point, wait_hint;
    bool operator==(const Record&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Record& r) {
    return out << "{state " << r.state << ", controls " << r.controls << ", exit " << r.win32_exit
               << "/" << r.specific_exit << ", check point " << r.check_point << ", wait hint "
               << r.wait_hint << "}";
}

const Record start_pending_1{SERVICE_START_PENDING, 0, 0, 0, 1, 3000};
const Record start_pending_2{SERVICE_START_PENDING, 0, 0, 0, 2, 1000};
const Record running{SERVICE_RUNNING, 0x105, 0, 0, 0, 0};
const Record stop_pending{SERVICE_STOP_PENDING, 0x105, 0, 0, 1, 3000};
const Record stopped{SERVICE_STOPPED, 0x105, 0, 0, 0, 0};
Record stop_pending_at(DWORD point) { return {SERVICE_STOP_PENDING, 0x105, 0, 0, point, 3000}; }

std::vector<Record> records() {
    std::lock_guard lock(scm_mutex);
    std::vector<Record> out;
    for (const auto& report : scm.reports) {
        const SERVICE_STATUS& s = report.status;
        EXPECT_EQ(s.dwServiceType, SERVICE_WIN32_OWN_PROCESS);
        out.push_back({s.dwCurrentState, s.dwControlsAccepted, s.dwWin32ExitCode,
                       s.dwServiceSpecificExitCode, s.dwCheckPoint, s.dwWaitHint});
    }
    return out;
}

bool eventually(const std::function<bool()>& done, int milliseconds = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

bool reported(const Record& wanted) {
    auto all = records();
    return std::find(all.begin(), all.end(), wanted) != all.end();
}

// The lock's count is back to one: taken once, but not twice.
bool lock_is_free() {
    if (WaitForSingleObject(update_lock, 0) != WAIT_OBJECT_0) return false;
    bool once = WaitForSingleObject(update_lock, 0) == WAIT_TIMEOUT;
    if (!once) ReleaseSemaphore(update_lock, 1, nullptr);
    ReleaseSemaphore(update_lock, 1, nullptr);
    return once;
}

// Runs a call on a thread of its own and tells whether it has returned, so
// that a stop that hangs fails the test instead of blocking it.
class Thread {
public:
    explicit Thread(std::function<void()> body)
        : thread_([this, body] {
              body();
              done_ = true;
          }) {}
    ~Thread() {
        if (done_) thread_.join();
        else thread_.detach();  // hung: the failure is already recorded
    }
    bool done() const { return done_; }
    bool ends() { return eventually([this] { return done_.load(); }); }

private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};

void run_service() { service_main(1, nullptr); }

class Lifecycle : public ::testing::Test {
protected:
    void SetUp() override {
        scm_reset();
        if (update_lock == nullptr) update_lock = CreateSemaphoreA(nullptr, 1, 0x7FFF, nullptr);
        worker_thread = nullptr;
        start_directory = std::filesystem::current_path();
    }
    void TearDown() override {
        // A worker that was started ends within a tick of the stop; the next
        // test must not find it still running.
        if (worker_thread != nullptr) {
            EXPECT_EQ(WaitForSingleObject(worker_thread, 10000), WAIT_OBJECT_0);
            CloseHandle(worker_thread);  // the service never does; the process would end
        }
        // No pass ran: a pass makes the install root current.
        EXPECT_EQ(std::filesystem::current_path(), start_directory);
        EXPECT_TRUE(lock_is_free());
    }

    WorkDir work;
    std::filesystem::path start_directory;
};

}  // namespace

TEST_F(Lifecycle, ReportsFillTheRecordForEachState) {
    status_handle = double_status_handle;
    EXPECT_NE(report_status(SERVICE_START_PENDING, 0, 0, 1, 3000), 0);
    EXPECT_NE(report_status(SERVICE_RUNNING, 0, 0, 0, 0), 0);
    EXPECT_NE(report_status(SERVICE_STOPPED, 1053, 0, 0, 0), 0);
    // A service-specific code is announced through the Win32 code.
    EXPECT_NE(report_status(SERVICE_STOPPED, 0, 42, 0, 0), 0);
    EXPECT_EQ(records(), (std::vector<Record>{start_pending_1, running,
                                              {SERVICE_STOPPED, 0x105, 1053, 0, 0, 0},
                                              {SERVICE_STOPPED, 0x105, 1066, 42, 0, 0}}));
}

// Twice in one process: each start has its own stop, and the stop request
// the first one raised does not reach the second. Preshutdown is a stop.
TEST_F(Lifecycle, StartsRunsAndStopsInOrderTwiceInOneProcess) {
    for (DWORD stop : {SERVICE_CONTROL_STOP, SERVICE_CONTROL_PRESHUTDOWN}) {
        SCOPED_TRACE(stop);
        if (stop == SERVICE_CONTROL_PRESHUTDOWN) {
            ASSERT_EQ(WaitForSingleObject(worker_thread, 10000), WAIT_OBJECT_0);
            CloseHandle(worker_thread);
            worker_thread = nullptr;
            scm_reset();
        }
        Thread service(run_service);
        ASSERT_TRUE(eventually([] { return reported(running); }));
        EXPECT_EQ(update_stop_requested.load(), 0) << "a new start clears an earlier stop";
        EXPECT_EQ(service_state.load(), SERVICE_RUNNING);
        EXPECT_EQ(service_running.load(), 1u);
        EXPECT_NE(worker_thread, nullptr);
        ASSERT_NE(scm.handler, nullptr);
        EXPECT_EQ(scm.calls.front(), "RegisterServiceCtrlHandlerExA(\"Orvane Autoupdate Service\")");

        EXPECT_EQ(scm.handler(SERVICE_CONTROL_INTERROGATE, 0, nullptr, nullptr), NO_ERROR);
        EXPECT_EQ(scm.handler(stop, 0, nullptr, nullptr), NO_ERROR);
        ASSERT_TRUE(service.ends());
        EXPECT_EQ(update_stop_requested.load(), 1);
        EXPECT_EQ(service_running.load(), 0u);
        EXPECT_EQ(service_state.load(), SERVICE_STOPPED);
        EXPECT_EQ(records(), (std::vector<Record>{start_pending_1, start_pending_2, running,
                                                  running, stop_pending, stopped}));
        // Stopped is reported under the lock, so no pass can begin before the
        // end, and after the worker's: the process may end once it is reported.
        std::lock_guard lock(scm_mutex);
        EXPECT_TRUE(scm.reports.back().lock_held);
        EXPECT_TRUE(scm.reports.back().worker_ended);
        EXPECT_FALSE(scm.reports[4].lock_held);
    }
}

TEST_F(Lifecycle, StopWaitsForThePassThatHoldsTheLockAndNoPassFollows) {
    Thread service(run_service);
    ASSERT_TRUE(eventually([] { return reported(running); }));

    WaitForSingleObject(update_lock, INFINITE);  // a pass is running
    // Long enough for the worker to end its initial delay and wait at the
    // barrier before its first pass, having seen the service running.
    Sleep(ORVANE_TICK_MS * (ORVANE_INITIAL_DELAY_TICKS + 5));
    Thread handler([] { scm.handler(SERVICE_CONTROL_SHUTDOWN, 0, nullptr, nullptr); });
    EXPECT_TRUE(handler.ends()) << "the handler waited for the pass";
    // The running pass is told, so that it leaves its retries to the next start.
    EXPECT_EQ(update_stop_requested.load(), 1);
    // While it runs, the stop makes progress within every wait hint.
    ASSERT_TRUE(eventually([] { return reported(stop_pending_at(3)); }));
    scm.handler(SERVICE_CONTROL_INTERROGATE, 0, nullptr, nullptr);  // answered: the progress so far
    EXPECT_FALSE(reported(stopped));
    EXPECT_FALSE(service.done());

    ReleaseSemaphore(update_lock, 1, nullptr);  // the pass ends
    EXPECT_TRUE(service.ends());
    EXPECT_EQ(records(), (std::vector<Record>{start_pending_1, start_pending_2, running,
                                              stop_pending, stop_pending_at(2), stop_pending_at(3),
                                              stop_pending_at(3), stopped}));
    // TearDown: the worker, let through the barrier after the stop, ends
    // without beginning a pass.
}

TEST_F(Lifecycle, AStopReachedAgainByFailedReportsRunsOnce) {
    scm.failing_states = {SERVICE_STOP_PENDING, SERVICE_STOPPED};
    Thread service(run_service);
    ASSERT_TRUE(eventually([] { return reported(running); }));
    // The failed stop-pending report asks for the stop, the handler asks
    // again, and the failed stopped report a third time, holding the lock.
    Thread handler([] { scm.handler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr); });
    EXPECT_TRUE(handler.ends()) << "a repeated stop waited for the lock its thread holds";
    EXPECT_TRUE(service.ends());
    EXPECT_EQ(records(), (std::vector<Record>{start_pending_1, start_pending_2, running,
                                              stop_pending, stopped}));
}

// A start-up report that fails ends the service in order, at whichever step:
// stopped is reported, and the event is closed.
TEST_F(Lifecycle, AFailedStartUpReportEndsTheServiceInOrder) {
    const std::vector<Record> reports[] = {{start_pending_1, stopped},
                                           {start_pending_1, start_pending_2, stopped},
                                           {start_pending_1, start_pending_2, running, stopped}};
    for (std::size_t failing = 1; failing <= 3; ++failing) {
        SCOPED_TRACE(failing);
        scm_reset();
        scm.failing_report = failing;
        Thread service(run_service);
        EXPECT_TRUE(service.ends());
        EXPECT_EQ(records(), reports[failing - 1]);
        EXPECT_EQ(worker_thread != nullptr, failing == 3) << "a worker only once running";
        EXPECT_EQ(service_running.load(), 0u);
        EXPECT_EQ(stop_event, nullptr);
    }
}

TEST_F(Lifecycle, WithoutAHandlerNothingIsReported) {
    scm.handler_fails = true;
    Thread service(run_service);
    EXPECT_TRUE(service.ends());
    EXPECT_TRUE(records().empty());
}
