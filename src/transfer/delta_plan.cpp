// Planning a delta download: the new archive's entries that the installed
// release's archive already holds, and the few requests for everything else.
#include "transfer/delta_plan.h"

#include <algorithm>
#include <map>
#include <tuple>

namespace {

// What makes two entries' compressed bytes the same.
using EntryKey =
    std::tuple<std::uint32_t, std::int64_t, std::int64_t, std::uint16_t, std::uint16_t>;

EntryKey key_of(const DeltaEntry& entry) {
    return {entry.crc, entry.compressed, entry.uncompressed, entry.method, entry.flags};
}

// A data descriptor (flag bit 3) follows its entry's bytes: 12 to 24 bytes,
// depending on a signature and on zip64, so a reused stretch keeps clear of
// the most it can be on either side.
constexpr std::uint16_t descriptor_flag = 0x0008;
constexpr std::int64_t descriptor_least = 12;
constexpr std::int64_t descriptor_most = 24;

// The bytes of the new archive's entry `index`, [header, end), that the kept
// archive holds, or that its directory record gives; false when none are.
bool reusable(const std::vector<DeltaEntry>& wanted, std::size_t index, std::int64_t end,
              const std::map<EntryKey, const DeltaEntry*>& data, DeltaReuse* reuse) {
    const DeltaEntry& entry = wanted[index];
    const auto found = data.find(key_of(entry));
    if (found == data.end()) return false;
    const DeltaEntry& kept = *found->second;
    // A record the size of a bare header and the bytes is that header and
    // those bytes. It is built only where the kept archive's maker wrote
    // such headers too (the kept one is bare): a guess that fails costs the
    // whole archive once more.
    const std::int64_t header_size =
        static_cast<std::int64_t>(delta_local_header_size + entry.name.size());
    if ((entry.flags & descriptor_flag) == 0 && kept.bare &&
        end - entry.header == header_size + entry.compressed && delta_bare_header(entry)[0] != 0) {
        *reuse = {entry.header, end, kept.data, -1, entry.compressed,
                  static_cast<std::int64_t>(index)};
        return true;
    }
    *reuse = {end - entry.compressed, end, kept.data, entry.header, entry.compressed, -1};
    if ((entry.flags & descriptor_flag) != 0) {
        reuse->first -= descriptor_least;
        reuse->end -= descriptor_most;
    }
    return reuse->first >= entry.header + static_cast<std::int64_t>(delta_local_header_size);
}

}  // namespace

DeltaPlan delta_plan(const std::vector<DeltaEntry>& wanted, std::int64_t directory_offset,
                     std::int64_t held_from, const std::vector<DeltaEntry>& kept, std::int64_t gap,
                     int most_ranges) {
    DeltaPlan plan{};
    // Of kept entries with the same bytes, a bare one is the evidence a built header needs.
    std::map<EntryKey, const DeltaEntry*> data;
    for (const DeltaEntry& entry : kept) {
        if (entry.data < 0) continue;
        const auto placed = data.emplace(key_of(entry), &entry);
        if (entry.bare && !placed.first->second->bare) placed.first->second = &entry;
    }

    // Each entry owns the bytes up to the next entry's local header (or the
    // directory): its header, its compressed bytes, and any descriptor.
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < wanted.size(); ++i) order.push_back(i);
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return wanted[a].header < wanted[b].header;
    });
    std::vector<DeltaReuse> stretches;
    for (std::size_t i = 0; i < order.size(); ++i) {
        const DeltaEntry& entry = wanted[order[i]];
        const std::int64_t end =
            i + 1 < order.size() ? wanted[order[i + 1]].header : directory_offset;
        DeltaReuse reuse{};
        // Two entries at one place overlap: neither is taken on trust.
        if (end <= entry.header || (i > 0 && wanted[order[i - 1]].header == entry.header) ||
            !reusable(wanted, order[i], end, data, &reuse))
            continue;
        if (reuse.end > held_from) reuse.end = held_from;
        if (reuse.end > reuse.first) stretches.push_back(reuse);
    }

    // Stretches that meet make one run of reused bytes. A run shorter than
    // the gap is asked for, and every run short of held_from parts two
    // requests: the longest ones that the request count allows are kept.
    struct Run {
        std::size_t from, to;  // stretches [from, to)
        std::int64_t length;
    };
    std::vector<Run> runs;
    for (std::size_t i = 0; i < stretches.size(); ++i) {
        if (!runs.empty() && stretches[runs.back().to - 1].end == stretches[i].first) {
            runs.back().to = i + 1;
        } else {
            runs.push_back({i, i + 1, 0});
        }
        runs.back().length = stretches[i].end - stretches[runs.back().from].first;
    }
    std::vector<Run> kept_runs;
    std::vector<std::size_t> inner;
    for (const Run& run : runs) {
        if (run.length < gap) continue;
        if (stretches[run.to - 1].end < held_from) inner.push_back(kept_runs.size());
        kept_runs.push_back(run);
    }
    const std::size_t allowed = most_ranges > 1 ? static_cast<std::size_t>(most_ranges - 1) : 0;
    if (inner.size() > allowed) {
        std::stable_sort(inner.begin(), inner.end(), [&](std::size_t a, std::size_t b) {
            return kept_runs[a].length > kept_runs[b].length;
        });
        for (std::size_t k = allowed; k < inner.size(); ++k) kept_runs[inner[k]].length = -1;
    }

    std::int64_t from = 0;
    for (const Run& run : kept_runs) {
        if (run.length < 0) continue;
        const std::int64_t first = stretches[run.from].first;
        if (first > from) plan.fetched.push_back({from, first});
        plan.reused.insert(plan.reused.end(), stretches.begin() + run.from,
                           stretches.begin() + run.to);
        plan.reused_bytes += run.length;
        from = stretches[run.to - 1].end;
    }
    if (held_from > from) plan.fetched.push_back({from, held_from});
    for (const DeltaRange& range : plan.fetched) plan.fetched_bytes += range.end - range.first;
    return plan;
}
