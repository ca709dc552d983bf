// Reading a zip archive's end records and central directory from bytes that
// a server or a disk handed over: every length and offset is checked before
// it is followed.
#include "transfer/delta_directory.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr std::uint32_t end_signature = 0x06054b50;
constexpr std::uint32_t zip64_locator_signature = 0x07064b50;
constexpr std::uint32_t zip64_end_signature = 0x06064b50;
constexpr std::uint32_t directory_signature = 0x02014b50;
constexpr std::uint32_t local_signature = 0x04034b50;
constexpr std::size_t end_size = 22;
constexpr std::size_t zip64_locator_size = 20;
constexpr std::size_t zip64_end_size = 56;
constexpr std::size_t directory_record_size = 46;
// The longest end comment and the records before it: all a reader needs.
constexpr std::size_t end_search = 65535 + end_size + zip64_locator_size + zip64_end_size;
constexpr std::uint16_t zip64_extra = 0x0001;

std::uint16_t get16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

std::uint32_t get32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::uint64_t get64(const unsigned char* p) {
    return static_cast<std::uint64_t>(get32(p)) | static_cast<std::uint64_t>(get32(p + 4)) << 32;
}

void put16(unsigned char* p, std::uint16_t value) {
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
}

void put32(unsigned char* p, std::uint32_t value) {
    put16(p, static_cast<std::uint16_t>(value));
    put16(p + 2, static_cast<std::uint16_t>(value >> 16));
}

// A 64-bit count that a signed offset holds; -1 beyond.
std::int64_t offset_of(std::uint64_t value) {
    return value > static_cast<std::uint64_t>(INT64_MAX / 2) ? -1
                                                             : static_cast<std::int64_t>(value);
}

// zip64's record, named by the locator just before the end record at `at`
// in the tail (which starts at tail_start in the archive). False when the
// locator is there but its record is not inside the tail.
bool read_zip64(const unsigned char* tail, std::size_t tail_size, std::size_t at,
                std::int64_t tail_start, DeltaDirectoryPlace* place, bool* present) {
    *present = false;
    if (at < zip64_locator_size) return true;
    const unsigned char* locator = tail + at - zip64_locator_size;
    if (get32(locator) != zip64_locator_signature) return true;
    *present = true;
    const std::int64_t record = offset_of(get64(locator + 8));
    if (record < tail_start) return false;
    const std::uint64_t inside = static_cast<std::uint64_t>(record - tail_start);
    if (inside > tail_size || tail_size - inside < zip64_end_size ||
        inside + zip64_end_size > at - zip64_locator_size)
        return false;
    const unsigned char* end = tail + inside;
    if (get32(end) != zip64_end_signature) return false;
    place->entries = offset_of(get64(end + 32));
    place->size = offset_of(get64(end + 40));
    place->offset = offset_of(get64(end + 48));
    // The directory ends where the zip64 record begins.
    return place->offset >= 0 && place->size >= 0 && place->offset <= record &&
           place->size <= record - place->offset;
}

}  // namespace

bool delta_directory_place(const unsigned char* tail, std::size_t tail_size, std::int64_t length,
                           DeltaDirectoryPlace* place) {
    if (tail_size < end_size || length < static_cast<std::int64_t>(tail_size)) return false;
    const std::int64_t tail_start = length - static_cast<std::int64_t>(tail_size);
    // From the back: the record whose comment runs exactly to the end.
    for (std::size_t at = tail_size - end_size;; --at) {
        const unsigned char* end = tail + at;
        if (get32(end) == end_signature && at + end_size + get16(end + 20) == tail_size) {
            bool zip64 = false;
            if (!read_zip64(tail, tail_size, at, tail_start, place, &zip64)) return false;
            if (!zip64) {
                place->entries = get16(end + 10);
                place->size = get32(end + 12);
                place->offset = get32(end + 16);
                const std::int64_t record = tail_start + static_cast<std::int64_t>(at);
                if (place->offset > record || place->size > record - place->offset) return false;
            }
            return place->entries > 0 && place->entries <= delta_entries_most &&
                   place->size <= delta_directory_largest &&
                   place->size >= place->entries * static_cast<std::int64_t>(directory_record_size);
        }
        if (at == 0 || tail_size - at >= end_search) return false;
    }
}

bool delta_directory_entries(const unsigned char* directory, const DeltaDirectoryPlace& place,
                             std::vector<DeltaEntry>* entries) {
    entries->clear();
    const std::size_t size = static_cast<std::size_t>(place.size);
    std::size_t at = 0;
    for (std::int64_t i = 0; i < place.entries; ++i) {
        if (size - at < directory_record_size) return false;
        const unsigned char* record = directory + at;
        if (get32(record) != directory_signature) return false;
        const std::size_t name = get16(record + 28);
        const std::size_t extra = get16(record + 30);
        const std::size_t comment = get16(record + 32);
        if (size - at - directory_record_size < name + extra + comment) return false;
        DeltaEntry entry{};
        entry.version_needed = get16(record + 6);
        entry.flags = get16(record + 8);
        entry.method = get16(record + 10);
        entry.time = get16(record + 12);
        entry.date = get16(record + 14);
        entry.crc = get32(record + 16);
        entry.name.assign(reinterpret_cast<const char*>(record) + directory_record_size, name);
        std::uint64_t compressed = get32(record + 20);
        std::uint64_t uncompressed = get32(record + 24);
        std::uint64_t header = get32(record + 42);
        // zip64's extra field holds, in this order, each value that the
        // record marks as too large for it.
        const unsigned char* field = record + directory_record_size + name;
        const unsigned char* fields_end = field + extra;
        while (fields_end - field >= 4) {
            const std::uint16_t id = get16(field);
            const std::size_t length = get16(field + 2);
            if (static_cast<std::size_t>(fields_end - field - 4) < length) return false;
            if (id == zip64_extra) {
                const unsigned char* value = field + 4;
                std::size_t left = length;
                for (std::uint64_t* wide : {&uncompressed, &compressed, &header}) {
                    if (*wide != 0xFFFFFFFFu) continue;
                    if (left < 8) return false;
                    *wide = get64(value);
                    value += 8;
                    left -= 8;
                }
            }
            field += 4 + length;
        }
        entry.compressed = offset_of(compressed);
        entry.uncompressed = offset_of(uncompressed);
        entry.header = offset_of(header);
        entry.data = -1;
        if (entry.compressed < 0 || entry.uncompressed < 0 || entry.header < 0 ||
            entry.header > place.offset - static_cast<std::int64_t>(delta_local_header_size) ||
            entry.compressed > place.offset - entry.header)
            return false;
        entries->push_back(entry);
        at += directory_record_size + name + extra + comment;
    }
    return true;
}

std::array<unsigned char, delta_local_header_size> delta_bare_header(const DeltaEntry& entry) {
    std::array<unsigned char, delta_local_header_size> header{};
    // A size that its field cannot hold needs zip64's extra field: no bare header.
    if (entry.compressed >= 0xFFFFFFFF || entry.uncompressed >= 0xFFFFFFFF) return header;
    put32(&header[0], local_signature);
    put16(&header[4], entry.version_needed);
    put16(&header[6], entry.flags);
    put16(&header[8], entry.method);
    put16(&header[10], entry.time);
    put16(&header[12], entry.date);
    put32(&header[14], entry.crc);
    put32(&header[18], static_cast<std::uint32_t>(entry.compressed));
    put32(&header[22], static_cast<std::uint32_t>(entry.uncompressed));
    put16(&header[26], static_cast<std::uint16_t>(entry.name.size()));
    return header;  // no extra field: its length stays 0
}

bool delta_local_header(const unsigned char* local, DeltaEntry* entry, std::size_t* name_length,
                        std::size_t* extra_length) {
    if (get32(local) != local_signature) return false;
    entry->flags = get16(local + 6);
    entry->method = get16(local + 8);
    entry->crc = get32(local + 14);
    entry->compressed = get32(local + 18);
    entry->uncompressed = get32(local + 22);
    *name_length = get16(local + 26);
    *extra_length = get16(local + 28);
    return true;
}

std::int64_t delta_data_offset(const unsigned char* local, std::int64_t header) {
    DeltaEntry entry{};
    std::size_t name_length = 0;
    std::size_t extra_length = 0;
    if (!delta_local_header(local, &entry, &name_length, &extra_length)) return -1;
    return header + static_cast<std::int64_t>(delta_local_header_size + name_length + extra_length);
}

namespace {

bool read_at(std::FILE* file, std::int64_t offset, unsigned char* out, std::size_t size) {
    return std::fseek(file, static_cast<long>(offset), SEEK_SET) == 0 &&
           std::fread(out, 1, size, file) == size;
}

bool read_file_entries(std::FILE* file, std::vector<DeltaEntry>* entries) {
    if (std::fseek(file, 0, SEEK_END) != 0) return false;
    const long length = std::ftell(file);
    if (length <= 0) return false;
    const std::size_t tail_size = static_cast<std::size_t>(length) < end_search
                                      ? static_cast<std::size_t>(length)
                                      : end_search;
    std::vector<unsigned char> tail(tail_size);
    DeltaDirectoryPlace place{};
    if (!read_at(file, length - static_cast<long>(tail_size), tail.data(), tail_size) ||
        !delta_directory_place(tail.data(), tail_size, length, &place))
        return false;
    std::vector<unsigned char> directory(static_cast<std::size_t>(place.size));
    if (!read_at(file, place.offset, directory.data(), directory.size()) ||
        !delta_directory_entries(directory.data(), place, entries))
        return false;
    std::vector<unsigned char> name;
    for (DeltaEntry& entry : *entries) {
        std::array<unsigned char, delta_local_header_size> header;
        name.resize(entry.name.size());
        if (!read_at(file, entry.header, header.data(), header.size())) continue;
        const std::int64_t data = delta_data_offset(header.data(), entry.header);
        // Its bytes inside the archive, before the directory.
        if (data < 0 || data > place.offset || entry.compressed > place.offset - data) continue;
        entry.data = data;
        const std::int64_t name_at = entry.header + static_cast<std::int64_t>(sizeof header);
        entry.bare = header == delta_bare_header(entry) &&
                     (entry.name.empty() ||
                      (read_at(file, name_at, name.data(), name.size()) &&
                       std::memcmp(name.data(), entry.name.data(), name.size()) == 0));
    }
    return true;
}

}  // namespace

bool delta_directory_read(const char* path, std::vector<DeltaEntry>* entries) {
    entries->clear();
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    const bool read = read_file_entries(file, entries);
    std::fclose(file);
    return read;
}
