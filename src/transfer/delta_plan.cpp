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

}  // namespace

DeltaPlan delta_plan(const std::vector<DeltaEntry>& wanted, std::int64_t directory_offset,
                     std::int64_t held_from, const std::vector<DeltaEntry>& kept, std::int64_t gap,
                     int most_ranges) {
    DeltaPlan plan{};
    std::map<EntryKey, std::int64_t> held;
    for (const DeltaEntry& entry : kept) {
        if (entry.data >= 0 && entry.compressed > 0) held.emplace(key_of(entry), entry.data);
    }

    // Each entry owns the bytes up to the next entry's local header (or the
    // directory): its header, its compressed bytes, and any descriptor.
    std::vector<const DeltaEntry*> order;
    for (const DeltaEntry& entry : wanted) order.push_back(&entry);
    std::sort(order.begin(), order.end(),
              [](const DeltaEntry* a, const DeltaEntry* b) { return a->header < b->header; });
    std::vector<DeltaReuse> stretches;
    for (std::size_t i = 0; i < order.size(); ++i) {
        const DeltaEntry& entry = *order[i];
        const std::int64_t end = i + 1 < order.size() ? order[i + 1]->header : directory_offset;
        const auto found = held.find(key_of(entry));
        // Two entries at one place overlap: neither is taken on trust.
        if (found == held.end() || end <= entry.header ||
            (i > 0 && order[i - 1]->header == entry.header))
            continue;
        DeltaReuse reuse{entry.header, entry.compressed, end - entry.compressed, end,
                         found->second};
        if ((entry.flags & descriptor_flag) != 0) {
            reuse.first -= descriptor_least;
            reuse.end -= descriptor_most;
        }
        if (reuse.end > held_from) reuse.end = held_from;
        if (reuse.first < entry.header + static_cast<std::int64_t>(delta_local_header_size) ||
            reuse.end - reuse.first < gap || reuse.end - reuse.first <= 0)
            continue;
        stretches.push_back(reuse);
    }

    // Every reused stretch short of held_from parts two requests: keep the
    // longest ones that the request count allows.
    std::vector<std::size_t> inner;
    for (std::size_t i = 0; i < stretches.size(); ++i) {
        if (stretches[i].end < held_from) inner.push_back(i);
    }
    const std::size_t allowed = most_ranges > 1 ? static_cast<std::size_t>(most_ranges - 1) : 0;
    if (inner.size() > allowed) {
        std::stable_sort(inner.begin(), inner.end(), [&](std::size_t a, std::size_t b) {
            return stretches[a].end - stretches[a].first > stretches[b].end - stretches[b].first;
        });
        for (std::size_t k = allowed; k < inner.size(); ++k) stretches[inner[k]].end = -1;
    }

    std::int64_t from = 0;
    for (const DeltaReuse& reuse : stretches) {
        if (reuse.end < 0) continue;
        if (reuse.first > from) plan.fetched.push_back({from, reuse.first});
        plan.reused.push_back(reuse);
        plan.reused_bytes += reuse.end - reuse.first;
        from = reuse.end;
    }
    if (held_from > from) plan.fetched.push_back({from, held_from});
    for (const DeltaRange& range : plan.fetched) plan.fetched_bytes += range.end - range.first;
    return plan;
}
