// MD5 message digest and the checksum of a local file.
#pragma once

#include <cstdint>

struct Md5Context {
    std::uint32_t state[4];
    std::uint32_t bit_count[2];  // low word first
    unsigned char block[64];
};

void md5_init(Md5Context* context);
void md5_update(Md5Context* context, const unsigned char* data, std::uint32_t length);
void md5_final(unsigned char digest[16], Md5Context* context);
void md5_transform(std::uint32_t state[4], const unsigned char block[64]);

// The 32 hex digits of the last checksum computed, NUL-terminated.
extern char digest_text[33];

// The MD5 of the file as hex digits in digest_text, or nullptr when the file
// cannot be opened (digest_text then keeps its previous digits).
char* file_md5_hex(const char* path, unsigned char lower_case);
