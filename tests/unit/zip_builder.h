// Writes small zip archives with stored (uncompressed) entries, byte by byte,
// so that tests can build archives an archive library would refuse to write:
// duplicate names, empty names, names that escape the install root.
#pragma once

#include <array>
#include <cstdint>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

class ZipBuilder {
public:
    ZipBuilder& add(std::string name, std::string data) {
        entries_.push_back({std::move(name), std::move(data)});
        return *this;
    }

    // The whole archive as bytes.
    std::string bytes() const {
        std::string out;
        std::string directory;
        for (const Entry& entry : entries_) {
            std::uint32_t offset = static_cast<std::uint32_t>(out.size());
            std::uint32_t crc = crc32(entry.data);
            std::uint32_t size = static_cast<std::uint32_t>(entry.data.size());
            std::uint16_t name_length = static_cast<std::uint16_t>(entry.name.size());

            put32(out, 0x04034b50);
            put16(out, 10);  // version needed
            put16(out, 0);   // flags
            put16(out, 0);   // stored
            put16(out, 0);   // time
            put16(out, 0x21);  // date 1980-01-01
            put32(out, crc);
            put32(out, size);
            put32(out, size);
            put16(out, name_length);
            put16(out, 0);
            out += entry.name;
            out += entry.data;

            put32(directory, 0x02014b50);
            put16(directory, 20);  // version made by
            put16(directory, 10);
            put16(directory, 0);
            put16(directory, 0);
            put16(directory, 0);
            put16(directory, 0x21);
            put32(directory, crc);
            put32(directory, size);
            put32(directory, size);
            put16(directory, name_length);
            put16(directory, 0);  // extra
            put16(directory, 0);  // comment
            put16(directory, 0);  // disk
            put16(directory, 0);  // internal attributes
            put32(directory, 0);  // external attributes
            put32(directory, offset);
            directory += entry.name;
        }
        std::uint32_t directory_offset = static_cast<std::uint32_t>(out.size());
        out += directory;
        put32(out, 0x06054b50);
        put16(out, 0);
        put16(out, 0);
        put16(out, static_cast<std::uint16_t>(entries_.size()));
        put16(out, static_cast<std::uint16_t>(entries_.size()));
        put32(out, static_cast<std::uint32_t>(directory.size()));
        put32(out, directory_offset);
        put16(out, 0);
        return out;
    }

    void write(const std::string& path) const { write_file(path, bytes()); }

    static void write_file(const std::string& path, const std::string& data) {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(data.data(), static_cast<std::streamsize>(data.size()));
    }

    static std::uint32_t crc32(const std::string& data) {
        static const std::array<std::uint32_t, 256> table = [] {
            std::array<std::uint32_t, 256> t{};
            for (std::uint32_t i = 0; i < 256; ++i) {
                std::uint32_t c = i;
                for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
                t[i] = c;
            }
            return t;
        }();
        std::uint32_t c = 0xFFFFFFFFu;
        for (unsigned char byte : data) c = table[(c ^ byte) & 0xFF] ^ (c >> 8);
        return c ^ 0xFFFFFFFFu;
    }

private:
    struct Entry {
        std::string name;
        std::string data;
    };

    static void put16(std::string& out, std::uint16_t v) {
        out += static_cast<char>(v & 0xFF);
        out += static_cast<char>(v >> 8);
    }
    static void put32(std::string& out, std::uint32_t v) {
        put16(out, static_cast<std::uint16_t>(v & 0xFFFF));
        put16(out, static_cast<std::uint16_t>(v >> 16));
    }

    std::vector<Entry> entries_;
};
