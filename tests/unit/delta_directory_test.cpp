// A zip directory from a server or a disk: every claim is bounded before it is followed.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "transfer/delta_directory.h"
#include "zip_builder.h"

namespace {

// The directory's entries, read from an archive's bytes as from a tail that
// holds the whole archive; false where either step refuses.
bool read_directory(const std::string& archive, std::vector<DeltaEntry>* entries) {
    const std::vector<unsigned char> bytes(archive.begin(), archive.end());
    DeltaDirectoryPlace place{};
    if (!delta_directory_place(bytes.data(), bytes.size(), bytes.size(), &place)) return false;
    const std::vector<unsigned char> directory(bytes.begin() + place.offset,
                                               bytes.begin() + place.offset + place.size);
    return delta_directory_entries(directory.data(), place, entries);
}

void put(std::string& archive, std::size_t at, std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i) archive[at + i] = static_cast<char>(value >> (8 * i));
}

TEST(DeltaDirectory, ClaimsBeyondTheBytesGivenAreRefused) {
    const std::string good = ZipBuilder().add("a.txt", "alpha").add("b/c.bin", "beta!").bytes();
    std::vector<DeltaEntry> entries;
    ASSERT_TRUE(read_directory(good, &entries));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].header, 30 + 5 + 5);

    const std::size_t end = good.size() - 22;                  // end record
    const std::size_t second = good.find("PK\1\2", end - 60);  // second directory record
    const std::vector<std::pair<const char*, std::function<void(std::string&)>>> rows = {
        {"bytes after the end record", [](std::string& a) { a += "junk"; }},
        {"comment longer than the archive", [&](std::string& a) { put(a, end + 20, 9, 2); }},
        {"more entries than the directory holds", [&](std::string& a) { put(a, end + 10, 0xFFFF, 2); }},
        {"directory past the end record", [&](std::string& a) { put(a, end + 16, 0x7FFFFFF0, 4); }},
        {"directory longer than the archive", [&](std::string& a) { put(a, end + 12, 0xFFFFFFF, 4); }},
        {"entry behind the directory", [&](std::string& a) { put(a, second + 42, end, 4); }},
        {"entry larger than the archive", [&](std::string& a) { put(a, second + 20, 0xFFFFFF, 4); }},
        {"name past the directory", [&](std::string& a) { put(a, second + 28, 0xFFFF, 2); }},
        {"extra field past the directory", [&](std::string& a) { put(a, second + 30, 200, 2); }},
        {"zip64 record outside", [&](std::string& a) { a.insert(end, "PK\6\7\0\0\0\0\xff\xff\xff\x7f\0\0\0\0\1\0\0\0", 20); }},
        {"too short for an end record", [](std::string& a) { a = a.substr(a.size() - 21); }},
    };
    for (const auto& [row, damage] : rows) {
        std::string archive = good;
        damage(archive);
        EXPECT_FALSE(read_directory(archive, &entries)) << row;
    }
}

}  // namespace
