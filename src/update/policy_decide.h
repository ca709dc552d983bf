// What the machine policy makes a pass do with one package, and the words
// that say so.
#pragma once

#include <string>

#include "update/policy.h"

// The update server of the pass: the policy's, or the build's.
const char* policy_server(const Policy& policy);

// Why the pass leaves the package alone ("" when it updates it): turned off,
// or kept for manual passes while this one is scheduled.
std::string policy_passed_over(const Policy& policy, const char* package, bool scheduled);

// Why a version of the package is not taken ("" when it may be): it does not
// start with the package's TargetVersionPrefix. A null version, one that
// could not be fetched, is held too where a prefix applies.
std::string policy_held(const Policy& policy, const char* package, const char* version);
