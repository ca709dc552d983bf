// A zip archive's central directory, as a delta download reads it: where each
// entry lies and what identifies its compressed bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct DeltaEntry {
    std::uint32_t crc;
    std::uint16_t method;
    std::uint16_t flags;  // general-purpose bit flags
    std::int64_t compressed;
    std::int64_t uncompressed;
    std::int64_t header;  // offset of its local header
    std::int64_t data;    // offset of its compressed bytes; -1 until read from its local header
    // What else its local header repeats: the header that the directory
    // record implies is these, the values above and the name, without extra.
    std::uint16_t version_needed;
    std::uint16_t time;
    std::uint16_t date;
    std::string name;
    // Read from its local header: it is exactly the header implied, so the
    // entry's whole record (header, then compressed bytes) is known.
    bool bare;
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

// The first delta_local_header_size bytes of the local header that the
// entry's directory record implies when the header has no extra field (all
// zero when a value does not fit it); its name follows them.
std::array<unsigned char, delta_local_header_size> delta_bare_header(const DeltaEntry& entry);

// The offset of an entry's compressed bytes, from the first
// delta_local_header_size bytes of its local header at `header`; -1 when
// they are not a local header.
std::int64_t delta_data_offset(const unsigned char* local, std::int64_t header);

// What the first delta_local_header_size bytes of a local header say of their
// entry: its flags, method, CRC-32 and sizes (as written: a zip64 entry's are
// 0xFFFFFFFF) into *entry, and the lengths of the name and the extra field
// that follow. False when they are not a local header.
bool delta_local_header(const unsigned char* local, DeltaEntry* entry, std::size_t* name_length,
                        std::size_t* extra_length);

// The entries of the archive file at path, each with its data offset (entries
// whose local header cannot be read keep -1) and whether that header is bare.
// False when the file is missing or its directory cannot be read.
bool delta_directory_read(const char* path, std::vector<DeltaEntry>* entries);
