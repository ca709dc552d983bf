// Where a package's pass left it: its state, and whether the check succeeded.
#include "update/package_state.h"

PackageStatus package_state(const char* package_file, const PackageResult& result) {
    PackageStatus status;
    status.available = result.available;
    // The version texts as an administrator compares them: without a line end.
    while (status.available && !status.available->empty() &&
           (status.available->back() == '\n' || status.available->back() == '\r'))
        status.available->pop_back();
    status.installed = package_installed_version(package_file);
    status.held_until = result.end == PackageEnd::held ? result.held_until : 0;
    switch (result.end) {
        case PackageEnd::up_to_date: status.state = PackageState::up_to_date; break;
        case PackageEnd::installed: status.state = PackageState::installed; break;
        case PackageEnd::held: status.state = PackageState::held; break;
        case PackageEnd::failed:
            // A package file or a partial download that the next pass takes up.
            status.state = package_waiting(package_file) ? PackageState::pending
                                                         : PackageState::failed;
            break;
    }
    // Held without an answer is held for want of one: no successful check.
    status.succeeded = result.available.has_value() && result.end != PackageEnd::failed;
    return status;
}

PackageStatus package_state_passed_over(const char* package_file) {
    PackageStatus status;
    status.state = PackageState::disabled;
    status.checked = false;
    status.installed = package_installed_version(package_file);
    return status;
}

PackageStatus package_state_refused() { return PackageStatus{}; }
