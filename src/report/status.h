// The machine's state file, Updater/status.json: where each listed package
// stands after the last pass, for monitoring tools and the `status` word.
// Written by the thread that runs a pass, replaced whole each time.
#pragma once

#include <ctime>
#include <optional>
#include <string>

constexpr const char* status_path = "Updater/status.json";

// As the file spells them: up-to-date, installed, failed, pending, held, disabled.
enum class PackageState { up_to_date, installed, failed, pending, held, disabled };

// What one package's pass came to, as the update engine decided it.
struct PackageStatus {
    PackageState state = PackageState::failed;
    bool checked = true;     // false: the server was not asked (turned off by policy)
    bool succeeded = false;  // the server answered and the package ended well
    std::optional<std::string> available;  // the server's version text, when it answered
    std::optional<std::string> installed;  // the version record's text
    std::time_t held_until = 0;  // held: when the release will be taken; 0 not known
};

// A pass begins: the file as it stands (started afresh when missing or
// damaged), under the policy that the pass read.
void status_begin_pass(const std::string& policy_source, bool policy_valid,
                       const std::string& policy_error);
// One package's pass has ended; its message is the last one reported since
// report_package named it. The file is replaced (not yet on disk), except
// for a package whose state stayed as it was while the last replacement is
// recent: a long list of quick packages then costs writes in proportion.
// The pass's end writes it in any case.
void status_end_package(const char* name, const PackageStatus& status);
// The pass has ended. With the list read, the packages it no longer names
// are dropped. The file is replaced, on disk.
void status_end_pass(bool list_read);
// When the service's next pass falls (0: none scheduled); the file is
// replaced when it exists.
void status_set_next_pass(std::time_t when);

// The `status` word: the file told on standard output, a summary line first,
// and the monitoring convention's exit status: 0 ok, 1 a package failed or
// waits, 2 a package had no successful check for more than three check
// periods (period_ms; 0 judges none) or the policy is not valid, 3 no file.
int status_show(long long period_ms);

// UTC in ISO 8601 to the second: "2026-12-09T05:30:00Z".
std::string status_time(std::time_t when);
// The reverse; false when text is no such time.
bool status_parse_time(const std::string& text, std::time_t* when);
