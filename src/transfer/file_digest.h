// The digests of a file taken as it is written, so that the file need not be
// read again before it is checked: MD5, and the BLAKE2b-512 hash that a
// release's signature signs.
#pragma once

#include <sodium.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "transfer/md5.h"

constexpr std::size_t file_digest_hash_size = crypto_generichash_BYTES_MAX;  // 64

struct FileDigest {
    bool with_hash;  // set by the owner: the BLAKE2b-512 hash too
    // The digests cover the file's bytes [0, length) exactly as written; false
    // once they cannot (bytes written out of order, the kept part of a resumed
    // download unreadable): the file must then be read to be checked.
    bool held;
    std::int64_t length;
    Md5Context md5;
    crypto_generichash_state hash;
};

// From the file's first byte on: the file starts (again) empty. Every
// function takes a null digest as none kept.
void file_digest_start(FileDigest* digest);
// Bytes written at `offset`: taken when they follow what is held; anything
// else (a gap, bytes written over) leaves the digests not held.
void file_digest_add(FileDigest* digest, std::int64_t offset, const void* data, std::size_t n);
// fwrite of n bytes at the file's position, which is `offset`, taken once
// written whole; false when the write failed.
bool file_digest_write(FileDigest* digest, std::FILE* file, std::int64_t offset, const void* data,
                       std::size_t n);
// The file's first `length` bytes, already on disk (the kept part of a
// resumed download), read once and taken; the file is left at its end.
void file_digest_prefix(FileDigest* digest, std::FILE* file, std::int64_t length);
// Whether the digests are held (they cover the whole file as written, which
// is then checked by them alone): the MD5 as 32 lower-case hex digits and,
// with_hash, the hash. The digest is spent.
bool file_digest_end(FileDigest* digest, char md5_hex[33], unsigned char hash[file_digest_hash_size]);
