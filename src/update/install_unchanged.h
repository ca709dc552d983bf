// Entries whose installed file already holds their content.
#pragma once

#include <cstddef>
#include <cstdint>

// Whether the plain file at target (not a link, a folder or a device) has
// size bytes whose CRC-32 is crc. buffer (buffer_size bytes) is the work
// space of the reads; the file is read only when its size matches.
bool install_unchanged(const wchar_t* target, std::uint64_t size, std::uint32_t crc, char* buffer,
                       std::size_t buffer_size);
