// The administrator's machine policy: the same names in the registry on
// Windows and in a JSON file on Linux, read afresh at every pass.
#pragma once

#include <map>
#include <string>
#include <vector>

struct Policy {
    std::string source;    // where it was read: the registry key or the file
    bool present = false;  // the store holds a policy
    bool valid = true;     // false: no package is updated, and error says why
    std::string error;     // the reason and where (file line and column, or value name)
    std::vector<std::string> unknown;  // names the product does not know, passed over

    std::string update_server_url;  // UpdateServerUrl; empty: the built one
    int check_period_minutes = 240;  // CheckPeriodMinutes as given; 0: no scheduled passes
    bool check_period_given = false;  // without it the built interval holds
    bool quiet_window = false;       // UpdatesSuppressed*: all three given
    int quiet_start_minute = 0;      // minutes after local midnight
    int quiet_duration_minutes = 0;  // at most 960; may cross midnight
    int update_default = 1;          // UpdateDefault: 0 never, 1 automatic, 2 manual only
    std::map<std::string, int> update_modes;  // Update.<package>
    std::map<std::string, std::string> target_version_prefixes;  // TargetVersionPrefix.<package>
    long long max_download_kbps = 0;  // MaxDownloadKbps; 0: no limit
    int rollout_bucket = -1;  // RolloutBucket, 0 to 99; -1: the machine's own of each release
};

// The policy as its store holds it now; an absent store is a valid, empty policy.
Policy policy_read();
