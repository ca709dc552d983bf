// Signature files of releases in minisign's format, checked with libsodium.
//
// A signature file is four lines:
//   untrusted comment: <anything>
//   base64 of "ED", the 8-byte key id, the 64-byte Ed25519 signature of the
//     file's BLAKE2b-512 hash
//   trusted comment: <text>
//   base64 of the 64-byte signature of the signature bytes and the text
#include "transfer/signature.h"

#include <sodium.h>

#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

constexpr const char untrusted_prefix[] = "untrusted comment: ";
constexpr const char trusted_prefix[] = "trusted comment: ";
constexpr std::size_t signature_size = 74;  // "ED", key id, signature
constexpr std::size_t hash_size = crypto_generichash_BYTES_MAX;
constexpr std::size_t read_piece = 65536;

struct Line {
    const char* start;
    std::size_t length;
};

// The next line from position, without its line end ("\n" or "\r\n");
// false when none is left. Only the last line may lack its "\n".
bool next_line(const char* text, std::size_t length, std::size_t* position, Line* line) {
    if (*position >= length) return false;
    const char* start = text + *position;
    const auto* end = static_cast<const char*>(std::memchr(start, '\n', length - *position));
    std::size_t taken = end != nullptr ? static_cast<std::size_t>(end - start) : length - *position;
    *position += taken + (end != nullptr ? 1 : 0);
    if (taken > 0 && start[taken - 1] == '\r') --taken;
    *line = {start, taken};
    return true;
}

bool starts_with(const Line& line, const char* prefix, std::size_t prefix_length) {
    return line.length >= prefix_length && std::memcmp(line.start, prefix, prefix_length) == 0;
}

// Decodes a whole line of base64 into exactly size bytes.
bool decode(const Line& line, unsigned char* out, std::size_t size) {
    std::size_t decoded = 0;
    const char* end = nullptr;
    return sodium_base642bin(out, size, line.start, line.length, nullptr, &decoded, &end,
                             sodium_base64_VARIANT_ORIGINAL) == 0 &&
           decoded == size && end == line.start + line.length;
}

// Decimal digits only, at least one, without overflow.
bool decimal(const char* digits, std::size_t length, std::uint64_t* value) {
    if (length == 0 || length > 20) return false;
    std::uint64_t total = 0;
    for (std::size_t k = 0; k < length; ++k) {
        if (digits[k] < '0' || digits[k] > '9') return false;
        const auto digit = static_cast<std::uint64_t>(digits[k] - '0');
        if (total > (UINT64_MAX - digit) / 10) return false;
        total = total * 10 + digit;
    }
    *value = total;
    return true;
}

// The BLAKE2b-512 hash of the file at path; false when it cannot be read.
bool file_hash(const char* path, unsigned char hash[hash_size]) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, hash_size);
    unsigned char piece[read_piece];
    std::size_t n = 0;
    while ((n = std::fread(piece, 1, sizeof piece, file)) > 0)
        crypto_generichash_update(&state, piece, n);
    const bool read_whole = std::ferror(file) == 0;
    std::fclose(file);
    crypto_generichash_final(&state, hash, hash_size);
    return read_whole;
}

// Whether key's global signature covers the signature and the trusted comment.
bool comment_signed(const SignatureFile& parsed, const unsigned char key[signature_key_size]) {
    unsigned char global_message[64 + signature_text_max];
    std::memcpy(global_message, parsed.signature, 64);
    std::memcpy(global_message + 64, parsed.trusted_comment, parsed.trusted_comment_length);
    return crypto_sign_verify_detached(parsed.global_signature, global_message,
                                       64 + parsed.trusted_comment_length, key + 10) == 0;
}

// Whether one of the trusted keys with the signature's key id verifies the
// trusted comment and, given a hash, the file's hash too.
bool signed_by_trusted_key(const SignatureFile& parsed, const unsigned char* hash,
                           const char* trusted_keys) {
    const char* rest = trusted_keys;
    unsigned char key[signature_key_size];
    while (signature_next_key(&rest, key)) {
        if (std::memcmp(key + 2, parsed.key_id, 8) != 0) continue;
        if ((hash == nullptr ||
             crypto_sign_verify_detached(parsed.signature, hash, hash_size, key + 10) == 0) &&
            comment_signed(parsed, key))
            return true;
    }
    return false;
}

}  // namespace

bool signature_next_key(const char** rest, unsigned char key[signature_key_size]) {
    for (;;) {
        *rest += std::strspn(*rest, " \t");
        const std::size_t token = std::strcspn(*rest, " \t");
        if (token == 0) return false;
        const Line line{*rest, token};
        *rest += token;
        // Keys were checked when the build was configured; a key that does
        // not decode all the same trusts nothing.
        if (decode(line, key, signature_key_size) && key[0] == 'E' && key[1] == 'd') return true;
    }
}

void signature_key_id_text(const unsigned char key[signature_key_size], char text[17]) {
    static constexpr char digits[] = "0123456789ABCDEF";
    for (int k = 0; k < 8; ++k) {
        const unsigned char byte = key[2 + 7 - k];
        text[2 * k] = digits[byte >> 4];
        text[2 * k + 1] = digits[byte & 0xF];
    }
    text[16] = '\0';
}

bool signature_parse(const char* text, std::size_t length, SignatureFile* parsed) {
    if (text == nullptr || length > signature_text_max) return false;
    std::size_t position = 0;
    Line line{};
    if (!next_line(text, length, &position, &line) ||
        !starts_with(line, untrusted_prefix, sizeof untrusted_prefix - 1))
        return false;

    unsigned char signature[signature_size];
    if (!next_line(text, length, &position, &line) || !decode(line, signature, signature_size))
        return false;
    // "ED" signs the file's hash; the legacy "Ed" signs the whole file, which
    // would have to be held in memory, and is not taken.
    if (signature[0] != 'E' || signature[1] != 'D') return false;
    std::memcpy(parsed->key_id, signature + 2, 8);
    std::memcpy(parsed->signature, signature + 10, 64);

    if (!next_line(text, length, &position, &line) ||
        !starts_with(line, trusted_prefix, sizeof trusted_prefix - 1))
        return false;
    parsed->trusted_comment = line.start + (sizeof trusted_prefix - 1);
    parsed->trusted_comment_length = line.length - (sizeof trusted_prefix - 1);

    return next_line(text, length, &position, &line) &&
           decode(line, parsed->global_signature, sizeof parsed->global_signature);
}

bool signature_next_field(const char* comment, std::size_t length, std::size_t* start,
                          std::string_view* field) {
    if (*start > length) return false;
    const auto* tab = static_cast<const char*>(std::memchr(comment + *start, '\t', length - *start));
    const std::size_t stop = tab != nullptr ? static_cast<std::size_t>(tab - comment) : length;
    *field = std::string_view(comment + *start, stop - *start);
    *start = stop + 1;
    return true;
}

bool signature_fields(const SignatureFile& parsed, const char* package_file,
                      std::uint64_t* timestamp) {
    int files = 0;
    int named = 0;
    int timestamps = 0;
    std::uint64_t value = 0;
    std::string_view field;
    for (std::size_t start = 0; signature_next_field(parsed.trusted_comment,
                                                     parsed.trusted_comment_length, &start, &field);) {
        if (field.starts_with("file:")) {
            ++files;
            if (field.substr(5) == package_file) ++named;
        } else if (field.starts_with("timestamp:")) {
            ++timestamps;
            if (!decimal(field.data() + 10, field.size() - 10, &value)) return false;
        }
    }
    // One of each: a comment naming two files or two times is not taken.
    if (files != 1 || named != 1 || timestamps != 1) return false;
    *timestamp = value;
    return true;
}

namespace {

// The signature file taken apart, with its fields, signed by a trusted key:
// its comment always, and with a hash the file's hash too.
bool verified(const char* text, std::size_t length, const unsigned char* hash,
              const char* package_file, const char* trusted_keys, SignatureFile* parsed,
              std::uint64_t* timestamp) {
    std::uint64_t value = 0;
    if (sodium_init() < 0 || !signature_parse(text, length, parsed) ||
        !signature_fields(*parsed, package_file, &value) ||
        !signed_by_trusted_key(*parsed, hash, trusted_keys))
        return false;
    *timestamp = value;
    return true;
}

}  // namespace

bool signature_verify(const char* text, std::size_t length, const char* path,
                      const char* package_file, const char* trusted_keys,
                      std::uint64_t* timestamp) {
    unsigned char hash[hash_size];
    return file_hash(path, hash) &&
           signature_verify_hash(text, length, hash, package_file, trusted_keys, timestamp);
}

bool signature_verify_comment(const char* text, std::size_t length, const char* package_file,
                              const char* trusted_keys, SignatureFile* parsed,
                              std::uint64_t* timestamp) {
    return verified(text, length, nullptr, package_file, trusted_keys, parsed, timestamp);
}

bool signature_verify_hash(const char* text, std::size_t length,
                           const unsigned char file_hash_bytes[64], const char* package_file,
                           const char* trusted_keys, std::uint64_t* timestamp) {
    SignatureFile parsed{};
    // Without a hash only the comment would be checked: never the file's signature.
    return file_hash_bytes != nullptr && verified(text, length, file_hash_bytes, package_file,
                                                  trusted_keys, &parsed, timestamp);
}

long signature_read(const char* path, char* text) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return -1;
    // One byte more than is taken tells a longer file.
    const std::size_t n = std::fread(text, 1, signature_text_max + 1, file);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed || n > signature_text_max) return -1;
    text[n] = '\0';
    return static_cast<long>(n);
}
