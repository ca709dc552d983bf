// How far a download's file is written, for a reader in another thread that
// follows the file while it arrives.
#pragma once

#include <atomic>
#include <cstdint>

struct DownloadWatch {
    // Raised each time the file starts again from its first byte, before
    // anything in it is cut or overwritten: what a reader took from it before
    // is not the file's any more.
    std::atomic<unsigned> starts{0};
    // The file's bytes [0, on_file) since the last start, written to it (not
    // held in a buffer) in order.
    std::atomic<std::int64_t> on_file{0};
    // The resource's whole length as the server announced it; 0 while unknown.
    std::atomic<std::int64_t> expected{0};
};

inline void download_watch_start(DownloadWatch* watch) {
    if (watch == nullptr) return;
    watch->on_file.store(0);
    watch->expected.store(0);
    watch->starts.fetch_add(1);
}

inline void download_watch_written(DownloadWatch* watch, std::int64_t length) {
    if (watch != nullptr) watch->on_file.store(length, std::memory_order_release);
}
