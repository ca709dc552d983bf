// MD5 (RFC 1321) as a streaming digest, and the checksum of a local file,
// which the package update compares with the digest the server publishes.
#include "transfer/md5.h"

#include <bit>
#include <cstdio>
#include <cstring>

char digest_text[33];

namespace {

unsigned char digest_bytes[16];

constexpr std::size_t file_piece = 16384;

inline std::uint32_t rotate_left(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// A little-endian word at any address: memcpy is the defined way to read an
// unaligned word, and compiles to one plain load.
inline std::uint32_t load_le(const unsigned char* p) {
    if constexpr (std::endian::native == std::endian::little) {
        std::uint32_t x;
        std::memcpy(&x, p, sizeof x);
        return x;
    } else {
        return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
               (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
    }
}

inline void store_le(unsigned char* p, std::uint32_t x) {
    p[0] = static_cast<unsigned char>(x);
    p[1] = static_cast<unsigned char>(x >> 8);
    p[2] = static_cast<unsigned char>(x >> 16);
    p[3] = static_cast<unsigned char>(x >> 24);
}

// One step per round function: a = b + ((a + fn(b, c, d) + x + ac) <<< s).
// MD5 runs one long dependency chain through b, the newest word, so each
// step is written to add everything that does not need b into a first (the
// message word, the constant, and the part of the function that reads only
// c and d, which are older), leaving as few operations as possible between
// b and the rotation:
//   F = (b & c) | (~b & d) = d ^ (b & (c ^ d))      two after b
//   G = (b & d) | (c & ~d) = (b & d) + (c & ~d)     one: the terms share no
//                                                   bit, so OR equals +
//   H = b ^ c ^ d          = b ^ (c ^ d)            one
//   I = c ^ (b | ~d)                                two (~d ahead of b)
#define MD5_STEP_F(a, b, c, d, x, s, ac)                                \
    (a) += (x) + static_cast<std::uint32_t>(ac);                       \
    (a) += (d) ^ ((b) & ((c) ^ (d)));                                  \
    (a) = rotate_left((a), (s)) + (b)
#define MD5_STEP_G(a, b, c, d, x, s, ac)                                \
    (a) += (x) + static_cast<std::uint32_t>(ac) + ((c) & ~(d));        \
    (a) += (b) & (d);                                                  \
    (a) = rotate_left((a), (s)) + (b)
#define MD5_STEP_H(a, b, c, d, x, s, ac)                                \
    (a) += (x) + static_cast<std::uint32_t>(ac);                       \
    (a) += (b) ^ ((c) ^ (d));                                          \
    (a) = rotate_left((a), (s)) + (b)
#define MD5_STEP_I(a, b, c, d, x, s, ac)                                \
    (a) += (x) + static_cast<std::uint32_t>(ac);                       \
    (a) += (c) ^ ((b) | ~(d));                                         \
    (a) = rotate_left((a), (s)) + (b)

// md5_transform over `count` consecutive blocks. The chaining words stay in
// registers from one block to the next instead of making a round trip
// through memory, which would sit on the dependency chain of every block.
void transform_blocks(std::uint32_t state[4], const unsigned char* data, std::size_t count) {
    std::uint32_t sa = state[0], sb = state[1], sc = state[2], sd = state[3];
    for (; count > 0; --count, data += 64) {
        std::uint32_t x[16];
        for (int k = 0; k < 16; ++k) x[k] = load_le(data + 4 * k);
        std::uint32_t a = sa, b = sb, c = sc, d = sd;

        // Round 1
        MD5_STEP_F(a, b, c, d, x[0], 7, 0xd76aa478);
        MD5_STEP_F(d, a, b, c, x[1], 12, 0xe8c7b756);
        MD5_STEP_F(c, d, a, b, x[2], 17, 0x242070db);
        MD5_STEP_F(b, c, d, a, x[3], 22, 0xc1bdceee);
        MD5_STEP_F(a, b, c, d, x[4], 7, 0xf57c0faf);
        MD5_STEP_F(d, a, b, c, x[5], 12, 0x4787c62a);
        MD5_STEP_F(c, d, a, b, x[6], 17, 0xa8304613);
        MD5_STEP_F(b, c, d, a, x[7], 22, 0xfd469501);
        MD5_STEP_F(a, b, c, d, x[8], 7, 0x698098d8);
        MD5_STEP_F(d, a, b, c, x[9], 12, 0x8b44f7af);
        MD5_STEP_F(c, d, a, b, x[10], 17, 0xffff5bb1);
        MD5_STEP_F(b, c, d, a, x[11], 22, 0x895cd7be);
        MD5_STEP_F(a, b, c, d, x[12], 7, 0x6b901122);
        MD5_STEP_F(d, a, b, c, x[13], 12, 0xfd987193);
        MD5_STEP_F(c, d, a, b, x[14], 17, 0xa679438e);
        MD5_STEP_F(b, c, d, a, x[15], 22, 0x49b40821);

        // Round 2
        MD5_STEP_G(a, b, c, d, x[1], 5, 0xf61e2562);
        MD5_STEP_G(d, a, b, c, x[6], 9, 0xc040b340);
        MD5_STEP_G(c, d, a, b, x[11], 14, 0x265e5a51);
        MD5_STEP_G(b, c, d, a, x[0], 20, 0xe9b6c7aa);
        MD5_STEP_G(a, b, c, d, x[5], 5, 0xd62f105d);
        MD5_STEP_G(d, a, b, c, x[10], 9, 0x02441453);
        MD5_STEP_G(c, d, a, b, x[15], 14, 0xd8a1e681);
        MD5_STEP_G(b, c, d, a, x[4], 20, 0xe7d3fbc8);
        MD5_STEP_G(a, b, c, d, x[9], 5, 0x21e1cde6);
        MD5_STEP_G(d, a, b, c, x[14], 9, 0xc33707d6);
        MD5_STEP_G(c, d, a, b, x[3], 14, 0xf4d50d87);
        MD5_STEP_G(b, c, d, a, x[8], 20, 0x455a14ed);
        MD5_STEP_G(a, b, c, d, x[13], 5, 0xa9e3e905);
        MD5_STEP_G(d, a, b, c, x[2], 9, 0xfcefa3f8);
        MD5_STEP_G(c, d, a, b, x[7], 14, 0x676f02d9);
        MD5_STEP_G(b, c, d, a, x[12], 20, 0x8d2a4c8a);

        // Round 3
        MD5_STEP_H(a, b, c, d, x[5], 4, 0xfffa3942);
        MD5_STEP_H(d, a, b, c, x[8], 11, 0x8771f681);
        MD5_STEP_H(c, d, a, b, x[11], 16, 0x6d9d6122);
        MD5_STEP_H(b, c, d, a, x[14], 23, 0xfde5380c);
        MD5_STEP_H(a, b, c, d, x[1], 4, 0xa4beea44);
        MD5_STEP_H(d, a, b, c, x[4], 11, 0x4bdecfa9);
        MD5_STEP_H(c, d, a, b, x[7], 16, 0xf6bb4b60);
        MD5_STEP_H(b, c, d, a, x[10], 23, 0xbebfbc70);
        MD5_STEP_H(a, b, c, d, x[13], 4, 0x289b7ec6);
        MD5_STEP_H(d, a, b, c, x[0], 11, 0xeaa127fa);
        MD5_STEP_H(c, d, a, b, x[3], 16, 0xd4ef3085);
        MD5_STEP_H(b, c, d, a, x[6], 23, 0x04881d05);
        MD5_STEP_H(a, b, c, d, x[9], 4, 0xd9d4d039);
        MD5_STEP_H(d, a, b, c, x[12], 11, 0xe6db99e5);
        MD5_STEP_H(c, d, a, b, x[15], 16, 0x1fa27cf8);
        MD5_STEP_H(b, c, d, a, x[2], 23, 0xc4ac5665);

        // Round 4
        MD5_STEP_I(a, b, c, d, x[0], 6, 0xf4292244);
        MD5_STEP_I(d, a, b, c, x[7], 10, 0x432aff97);
        MD5_STEP_I(c, d, a, b, x[14], 15, 0xab9423a7);
        MD5_STEP_I(b, c, d, a, x[5], 21, 0xfc93a039);
        MD5_STEP_I(a, b, c, d, x[12], 6, 0x655b59c3);
        MD5_STEP_I(d, a, b, c, x[3], 10, 0x8f0ccc92);
        MD5_STEP_I(c, d, a, b, x[10], 15, 0xffeff47d);
        MD5_STEP_I(b, c, d, a, x[1], 21, 0x85845dd1);
        MD5_STEP_I(a, b, c, d, x[8], 6, 0x6fa87e4f);
        MD5_STEP_I(d, a, b, c, x[15], 10, 0xfe2ce6e0);
        MD5_STEP_I(c, d, a, b, x[6], 15, 0xa3014314);
        MD5_STEP_I(b, c, d, a, x[13], 21, 0x4e0811a1);
        MD5_STEP_I(a, b, c, d, x[4], 6, 0xf7537e82);
        MD5_STEP_I(d, a, b, c, x[11], 10, 0xbd3af235);
        MD5_STEP_I(c, d, a, b, x[2], 15, 0x2ad7d2bb);
        MD5_STEP_I(b, c, d, a, x[9], 21, 0xeb86d391);

        sa += a;
        sb += b;
        sc += c;
        sd += d;
    }
    state[0] = sa;
    state[1] = sb;
    state[2] = sc;
    state[3] = sd;
}

#undef MD5_STEP_F
#undef MD5_STEP_G
#undef MD5_STEP_H
#undef MD5_STEP_I

}  // namespace

void md5_init(Md5Context* context) {
    context->state[0] = 0x67452301u;
    context->state[1] = 0xefcdab89u;
    context->state[2] = 0x98badcfeu;
    context->state[3] = 0x10325476u;
    context->bit_count[0] = 0;
    context->bit_count[1] = 0;
}

void md5_transform(std::uint32_t state[4], const unsigned char block[64]) {
    transform_blocks(state, block, 1);
}

void md5_update(Md5Context* context, const unsigned char* data, std::uint32_t length) {
    std::uint32_t held = (context->bit_count[0] >> 3) & 63u;

    const std::uint32_t low = context->bit_count[0] + (length << 3);
    if (low < context->bit_count[0]) ++context->bit_count[1];
    context->bit_count[0] = low;
    context->bit_count[1] += length >> 29;

    if (held > 0) {
        const std::uint32_t missing = 64u - held;
        if (length < missing) {
            if (length > 0) std::memcpy(context->block + held, data, length);
            return;
        }
        std::memcpy(context->block + held, data, missing);
        md5_transform(context->state, context->block);
        data += missing;
        length -= missing;
    }
    // Whole blocks straight from the caller's data; only a partial block is
    // held back in the context.
    if (length >= 64u) {
        const std::uint32_t whole = length & ~63u;
        transform_blocks(context->state, data, whole / 64u);
        data += whole;
        length -= whole;
    }
    if (length > 0) std::memcpy(context->block, data, length);
}

void md5_final(unsigned char digest[16], Md5Context* context) {
    const std::uint32_t held = (context->bit_count[0] >> 3) & 63u;
    context->block[held] = 0x80;
    if (held <= 55) {
        std::memset(context->block + held + 1, 0, 55 - held);
    } else {
        std::memset(context->block + held + 1, 0, 63 - held);
        md5_transform(context->state, context->block);
        std::memset(context->block, 0, 56);
    }
    store_le(context->block + 56, context->bit_count[0]);
    store_le(context->block + 60, context->bit_count[1]);
    md5_transform(context->state, context->block);
    for (int k = 0; k < 4; ++k) store_le(digest + 4 * k, context->state[k]);
}

char* file_md5_hex(const char* path, unsigned char lower_case) {
    digest_text[32] = '\0';
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return nullptr;

    Md5Context context;
    md5_init(&context);
    unsigned char piece[file_piece];
    for (;;) {
        const std::size_t n = std::fread(piece, 1, file_piece, file);
        if (n == 0) break;
        md5_update(&context, piece, static_cast<std::uint32_t>(n));
    }
    md5_final(digest_bytes, &context);

    const char* format = lower_case ? "%02x" : "%02X";
    char pair[3];
    for (int k = 0; k < 16; ++k) {
        std::snprintf(pair, sizeof pair, format, digest_bytes[k]);
        digest_text[2 * k] = pair[0];
        digest_text[2 * k + 1] = pair[1];
    }
    std::fclose(file);
    return digest_text;
}
