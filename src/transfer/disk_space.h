// Room on a volume for what a download or an installation is about to write.
#pragma once

#include <cstdint>

#include "report/report.h"

// Whether bytes, and the margin kept free beside them, fit the free space of
// the volume that holds directory. When they do not, reports format (one %s
// for name, then the MiB needed and the MiB free, as compared) through
// report_fn. A volume whose free space or size cannot be read is taken to
// have room. `held` of the bytes are on the volume already (what a download
// has written so far): they count as free too, since a refusal gives them back.
bool disk_space_enough(const wchar_t* directory, std::int64_t bytes, const char* format,
                       const char* name, ReportFn report_fn, std::int64_t held = 0);
