// Which bytes of a new archive a delta download asks for, and which it takes
// from the installed release's archive.
#pragma once

#include <cstdint>
#include <vector>

#include "transfer/delta_directory.h"

// Bytes [first, end) of the new archive.
struct DeltaRange {
    std::int64_t first;
    std::int64_t end;
};

// Bytes [first, end) of the new archive taken from the kept one. With a
// header, they are compressed bytes of the entry whose local header is at
// `header` and the kept entry's from `kept` on: where the new entry's bytes
// begin is known only once its local header has arrived. Without (-1), they
// are the entry's whole record, the kept one's byte for byte from `kept` on.
struct DeltaReuse {
    std::int64_t first;
    std::int64_t end;
    std::int64_t kept;
    std::int64_t header;
    std::int64_t compressed;
};

struct DeltaPlan {
    std::vector<DeltaRange> fetched;  // in order, each one request
    std::vector<DeltaReuse> reused;
    std::int64_t fetched_bytes;
    std::int64_t reused_bytes;
};

// The plan for a new archive whose entries (`wanted`) lie before its central
// directory at directory_offset, and whose bytes from held_from to its end
// are already at hand. Reused bytes closer than `gap` to the next request are
// asked for instead, and so are the shortest stretches of them beyond what
// `most_ranges` requests allow.
DeltaPlan delta_plan(const std::vector<DeltaEntry>& wanted, std::int64_t directory_offset,
                     std::int64_t held_from, const std::vector<DeltaEntry>& kept, std::int64_t gap,
                     int most_ranges);
