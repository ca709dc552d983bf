// Bringing one package to the version that the update server publishes.
#pragma once

#include <atomic>
#include <ctime>
#include <optional>
#include <string>

#include "report/report.h"
#include "update/policy.h"

// Raised by the service's orderly stop: the pass still runs to its end, but
// an installation that keeps failing is left for the next start instead of
// being retried.
extern std::atomic<int> update_stop_requested;

// resume_install: the installation still has entry errors after its last
// attempt; the package file and version record stay for the next pass.
constexpr int resume_unfinished = 2;

// How one package's update ended, for the state file: whether the package
// ended up to date, installed or held back, and what the server published.
enum class PackageEnd { failed, up_to_date, installed, held };
struct PackageResult {
    PackageEnd end = PackageEnd::failed;
    std::optional<std::string> available;  // the server's version text, when it answered
    std::time_t held_until = 0;  // held by a staged rollout: when it will be taken; 0 not known
};

// The policy gives the update server and the versions that may be taken.
// Scheduled: the service's own pass, which waits for a staged rollout to
// reach this machine; a manual pass takes the release ahead of it.
int update_package(const char* package_file, int retry, const Policy& policy, bool scheduled,
                   PackageResult* package_result);
// The package's version record, without the line break it may end with;
// none when there is no record.
std::optional<std::string> package_installed_version(const char* package_file);
// Whether the package file or a partial download of it waits for a pass.
bool package_waiting(const char* package_file);
// 1 equal, 0 different or no record, -1 no version text, -2 a version text
// too long to record.
int check_version(const char* package_url, const char* package_file);
// With delta set, the archive is downloaded as a delta against the installed
// release's, where the server and the kept archive allow. A build that signs
// releases checks the archive against signature_text, the release's signature
// file fetched before it (unused without keys).
int download_and_validate(const char* package_url, const char* package_file,
                          const char** version_text, ReportFn report_fn, bool delta,
                          const char* signature_text);
// Attempted: the package file was installed with errors earlier in this
// pass, so even the first attempt here writes only what failed.
int resume_install(const char* package_file, int retry, bool attempted = false);

// False when a path or URL derived from the package file name, on the
// update server given (scheme and host[:port], perhaps a path), would not fit.
bool package_file_fits(const char* package_file, const char* base_url);

// The build's update server (scheme and host[:port]) and its trusted release
// keys (minisign public keys separated by one space; empty when releases are
// not signed): what this build is, as its trial of a new updater compares.
const char* update_base_url();
const char* update_signing_keys();
