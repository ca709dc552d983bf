// Where a package's pass left it, as the state file tells it.
#pragma once

#include "report/status.h"
#include "update/package_update.h"

// After update_package: what it came to, and what it left on disk.
PackageStatus package_state(const char* package_file, const PackageResult& result);

// A package that the pass left alone by policy: nothing was asked of the server.
PackageStatus package_state_passed_over(const char* package_file);

// A package whose name the pass refused.
PackageStatus package_state_refused();
