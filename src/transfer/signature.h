// Signature files of releases in minisign's format, checked with libsodium.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// The longest signature file taken: minisign's own longest comments (1,024
// bytes untrusted, 8,192 trusted) and the two lines of signatures.
constexpr std::size_t signature_text_max = 9600;

// A signature file taken apart; the trusted comment points into its text.
struct SignatureFile {
    unsigned char key_id[8];
    unsigned char signature[64];
    const char* trusted_comment;
    std::size_t trusted_comment_length;
    unsigned char global_signature[64];
};

// False unless text is a signature file of minisign's default form ("ED":
// Ed25519 over the BLAKE2b-512 hash of the file); the legacy "Ed" is refused.
bool signature_parse(const char* text, std::size_t length, SignatureFile* parsed);

// The next of a trusted comment's tab-separated fields, from *start on (0
// for the first), which moves past it; false once none is left.
bool signature_next_field(const char* comment, std::size_t length, std::size_t* start,
                          std::string_view* field);

// The timestamp of the trusted comment, whose tab-separated fields must hold
// exactly one "file:" naming package_file and one "timestamp:" in decimal.
bool signature_fields(const SignatureFile& parsed, const char* package_file,
                      std::uint64_t* timestamp);

// True when text signs the file at path, published as package_file, with one
// of trusted_keys (minisign public keys in base64, separated by blanks), with
// a global signature over its trusted comment and the fields above; the
// timestamp is set then. The file is read in pieces.
bool signature_verify(const char* text, std::size_t length, const char* path,
                      const char* package_file, const char* trusted_keys,
                      std::uint64_t* timestamp);

// The trusted comment alone, before the file it signs is at hand: true when
// text is signed by one of trusted_keys, its global signature covers the
// comment, and the comment holds the fields above. Sets *parsed (whose
// comment points into text) and the timestamp then.
bool signature_verify_comment(const char* text, std::size_t length, const char* package_file,
                              const char* trusted_keys, SignatureFile* parsed,
                              std::uint64_t* timestamp);

// signature_verify of a file whose BLAKE2b-512 hash was taken as it was
// written: the file is not read.
bool signature_verify_hash(const char* text, std::size_t length,
                           const unsigned char file_hash_bytes[64], const char* package_file,
                           const char* trusted_keys, std::uint64_t* timestamp);

// A minisign public key decoded: "Ed", the 8-byte key id, the Ed25519 key.
constexpr std::size_t signature_key_size = 42;

// The next key of keys (minisign public keys in base64, separated by blanks)
// from *rest on, decoded into key; *rest is moved past it. A key that does
// not decode is passed over. False when no key is left.
bool signature_next_key(const char** rest, unsigned char key[signature_key_size]);

// A decoded key's id as minisign prints it: 16 upper-case hex digits, the
// id's last byte first, terminated.
void signature_key_id_text(const unsigned char key[signature_key_size], char text[17]);

// Reads a signature file of at most signature_text_max bytes into text
// (which holds signature_text_max + 1, terminated); its length, or -1 when
// it is missing, unreadable or longer.
long signature_read(const char* path, char* text);
