// Room on a volume for what a download or an installation is about to write.
#pragma once

#include <cstdint>

#include "report/report.h"

// Whether bytes, and the margin kept free beside them, fit the free space of
// the volume that holds directory. When they do not, reports format (one %s
// for name, then the MiB needed and the MiB free, as compared) through
// report_fn. A volume whose free space cannot be read is taken to have room.
bool disk_space_enough(const wchar_t* directory, std::int64_t bytes, const char* format,
                       const char* name, ReportFn report_fn);
