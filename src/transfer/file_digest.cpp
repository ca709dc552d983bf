// Digests of a file as it is written, in the order of its bytes.
#include "transfer/file_digest.h"

namespace {

constexpr std::size_t prefix_piece = 65536;

void take(FileDigest* digest, const void* data, std::size_t n) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    // md5_update counts 32-bit lengths; pieces are far smaller in practice.
    for (std::size_t at = 0; at < n;) {
        const std::size_t piece = n - at < (1u << 30) ? n - at : (1u << 30);
        md5_update(&digest->md5, bytes + at, static_cast<std::uint32_t>(piece));
        at += piece;
    }
    if (digest->with_hash) crypto_generichash_update(&digest->hash, bytes, n);
    digest->length += static_cast<std::int64_t>(n);
}

}  // namespace

void file_digest_start(FileDigest* digest) {
    if (digest == nullptr) return;
    digest->held = true;
    digest->length = 0;
    md5_init(&digest->md5);
    if (digest->with_hash)
        digest->held = sodium_init() >= 0 &&
                       crypto_generichash_init(&digest->hash, nullptr, 0, file_digest_hash_size) == 0;
}

void file_digest_add(FileDigest* digest, std::int64_t offset, const void* data, std::size_t n) {
    if (digest == nullptr || !digest->held || n == 0) return;
    if (offset != digest->length) {
        digest->held = false;
        return;
    }
    take(digest, data, n);
}

bool file_digest_write(FileDigest* digest, std::FILE* file, std::int64_t offset, const void* data,
                       std::size_t n) {
    if (std::fwrite(data, 1, n, file) != n) {
        // What a failed write left in the file is not known.
        if (digest != nullptr) digest->held = false;
        return false;
    }
    file_digest_add(digest, offset, data, n);
    return true;
}

void file_digest_prefix(FileDigest* digest, std::FILE* file, std::int64_t length) {
    if (digest == nullptr) return;
    file_digest_start(digest);
    if (std::fseek(file, 0, SEEK_SET) != 0) digest->held = false;
    unsigned char piece[prefix_piece];
    while (digest->held && digest->length < length) {
        const std::int64_t left = length - digest->length;
        const std::size_t want = left < static_cast<std::int64_t>(prefix_piece)
                                     ? static_cast<std::size_t>(left)
                                     : prefix_piece;
        const std::size_t n = std::fread(piece, 1, want, file);
        if (n == 0) digest->held = false;
        take(digest, piece, n);
    }
    // Between a read and a write the stream must be positioned.
    if (std::fseek(file, 0, SEEK_END) != 0) digest->held = false;
}

bool file_digest_end(FileDigest* digest, char md5_hex[33], unsigned char hash[file_digest_hash_size]) {
    if (digest == nullptr || !digest->held) return false;
    unsigned char md5[16];
    md5_final(md5, &digest->md5);
    static constexpr char digits[] = "0123456789abcdef";
    for (int k = 0; k < 16; ++k) {
        md5_hex[2 * k] = digits[md5[k] >> 4];
        md5_hex[2 * k + 1] = digits[md5[k] & 0xF];
    }
    md5_hex[32] = '\0';
    if (digest->with_hash) crypto_generichash_final(&digest->hash, hash, file_digest_hash_size);
    digest->held = false;  // spent
    return true;
}
