// Entries of a whole download written beside their targets while the archive
// still arrives, so that the installation after the archive's checks has
// little left to do but the renames. Nothing takes a target's place here, and
// nothing is said: an entry that cannot be taken ahead is the installer's, as
// always.
#pragma once

#include <cstdint>

struct DownloadWatch;

// Begins following the download into part_path, which reports to the watch
// returned (for the download): each entry that the installer would write is
// written, in the archive's order, beside its target as the installer writes
// it (not one whose installed file holds it already). What an earlier
// download left is removed first.
DownloadWatch* install_ahead_start(const char* part_path);
// The download has ended with its file whole: the rest of it is followed to
// its end while the file is checked.
void install_ahead_end();
// Waits until the follower is done with the file (it reads it by its name).
void install_ahead_wait();
// Stops the follower and removes whatever it wrote that no installation took.
void install_ahead_discard();

// For the installer, of an entry of the checked archive named name with this
// CRC-32, size, compressed size and method: whether it was written ahead, its
// temporary beside the target holding exactly its content. Each is taken once.
bool install_ahead_take(const char* name, std::uint32_t crc, std::uint64_t size,
                        std::uint64_t compressed, int method);
