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

// Bytes [first, end) of the new archive taken from the kept one: compressed
// bytes of an entry, the kept entry's from `kept` on. With a header (the
// offset of the entry's local header, fetched), where the new entry's bytes
// begin is known only once that header has arrived. With `built` (the
// entry's index in the wanted list; -1 none), the stretch is the entry's
// whole record: its bare local header, built from its directory record,
// then its compressed bytes.
struct DeltaReuse {
    std::int64_t first;
    std::int64_t end;
    std::int64_t kept;
    std::int64_t header;
    std::int64_t compressed;
    std::int64_t built;
};

struct DeltaPlan {
    std::vector<DeltaRange> fetched;  // in order, none adjacent to the next
    std::vector<DeltaReuse> reused;
    std::int64_t fetched_bytes;
    std::int64_t reused_bytes;
};

// The plan for a new archive whose entries (`wanted`) lie before its central
// directory at directory_offset, and whose bytes from held_from to its end
// are already at hand. Reused bytes closer than `gap` to the next range are
// asked for instead, and so are the shortest stretches of them beyond what
// `most_ranges` ranges allow.
DeltaPlan delta_plan(const std::vector<DeltaEntry>& wanted, std::int64_t directory_offset,
                     std::int64_t held_from, const std::vector<DeltaEntry>& kept, std::int64_t gap,
                     int most_ranges);
