// A zip archive's central directory, as a delta download reads it: where each
// entry lies and what identifies its compressed bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct DeltaEntry {
    std::uint32_t crc;
    std::uint16_t method;
    std::uint16_t flags;  // general-purpose bit flags
    std::int64_t compressed;
    std::int64_t uncompressed;
    std::int64_t header;  // offset of its local header
    std::int64_t data;    // offset of its compressed bytes; -1 until read from its local header
};

// Where the central directory lies, as the end records say.
struct DeltaDirectoryPlace {
    std::int64_t offset;
    std::int64_t size;
    std::int64_t entries;
};

// Bounds on what a directory may claim, whoever wrote it.
constexpr std::int64_t delta_directory_largest = 64 << 20;
constexpr std::int64_t delta_entries_most = 1 << 20;
// The bytes before a local header's name: signature to extra length.
constexpr std::size_t delta_local_header_size = 30;

// Finds the end-of-central-directory record (and zip64's, when the locator
// names one inside the tail) in the last tail_size bytes of an archive of
// `length` bytes. False when there is none, or what it says does not fit.
bool delta_directory_place(const unsigned char* tail, std::size_t tail_size, std::int64_t length,
                           DeltaDirectoryPlace* place);

// The entries of the central directory (place.size bytes at `directory`).
// False unless every record is whole and every entry lies before the directory.
bool delta_directory_entries(const unsigned char* directory, const DeltaDirectoryPlace& place,
                             std::vector<DeltaEntry>* entries);

// The offset of an entry's compressed bytes, from the first
// delta_local_header_size bytes of its local header at `header`; -1 when
// they are not a local header.
std::int64_t delta_data_offset(const unsigned char* local, std::int64_t header);

// The entries of the archive file at path, each with its data offset (entries
// whose local header cannot be read keep -1). False when the file is missing
// or its directory cannot be read.
bool delta_directory_read(const char* path, std::vector<DeltaEntry>* entries);
