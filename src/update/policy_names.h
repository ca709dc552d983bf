// Every name of the machine policy, as the registry values and the members of
// the policy file spell them. The administrative templates
// (packaging/policies/) and the sample policy.json offer exactly these; a name
// ending in '.' is followed by a package's name.
#pragma once

constexpr const char* policy_names[] = {
    "UpdateServerUrl",
    "CheckPeriodMinutes",
    "UpdatesSuppressedStartHour",
    "UpdatesSuppressedStartMin",
    "UpdatesSuppressedDurationMin",
    "UpdateDefault",
    "Update.",
    "TargetVersionPrefix.",
    "MaxDownloadKbps",
    "RolloutBucket",
};
