// Signature files in minisign's format against one archive: what is taken,
// what is refused, and that no hostile text is read out of bounds.
#include <gtest/gtest.h>

#include <sodium.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "transfer/signature.h"
#include "work_dir.h"

namespace {

// A key pair made from a seed, as minisign would hold it.
struct TestKey {
    unsigned char id[8];
    unsigned char public_key[32];
    unsigned char secret_key[64];
};

TestKey make_key(unsigned char seed_byte) {
    TestKey key{};
    unsigned char seed[32];
    for (unsigned char& b : seed) b = seed_byte;
    crypto_sign_seed_keypair(key.public_key, key.secret_key, seed);
    for (int k = 0; k < 8; ++k) key.id[k] = static_cast<unsigned char>(seed_byte + k);
    return key;
}

std::string base64(const unsigned char* data, std::size_t length) {
    std::string text(sodium_base64_ENCODED_LEN(length, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), data, length, sodium_base64_VARIANT_ORIGINAL);
    text.resize(text.size() - 1);
    return text;
}

std::string public_key_line(const TestKey& key) {
    unsigned char bytes[42] = {'E', 'd'};
    std::memcpy(bytes + 2, key.id, 8);
    std::memcpy(bytes + 10, key.public_key, 32);
    return base64(bytes, sizeof bytes);
}

struct Signing {
    const TestKey* key;
    const unsigned char* id;  // the key id written, normally the key's own
    char algorithm[3];
    std::string comment;
    bool whole_file = false;  // what the legacy "Ed" signs
};

// A signature file of data, as `minisign -S` makes it (the legacy "Ed" signs
// the data itself, "ED" its BLAKE2b-512 hash).
std::string sign(const std::string& data, const Signing& how) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    unsigned char hash[64];
    crypto_generichash(hash, sizeof hash, bytes, data.size(), nullptr, 0);
    unsigned char line[74] = {static_cast<unsigned char>(how.algorithm[0]),
                              static_cast<unsigned char>(how.algorithm[1])};
    std::memcpy(line + 2, how.id, 8);
    const bool legacy = how.whole_file;
    crypto_sign_detached(line + 10, nullptr, legacy ? bytes : hash, legacy ? data.size() : 64,
                         how.key->secret_key);
    std::string global_message(reinterpret_cast<const char*>(line + 10), 64);
    global_message += how.comment;
    unsigned char global[64];
    crypto_sign_detached(global, nullptr,
                         reinterpret_cast<const unsigned char*>(global_message.data()),
                         global_message.size(), how.key->secret_key);
    return "untrusted comment: signature from minisign secret key\n" + base64(line, 74) +
           "\ntrusted comment: " + how.comment + "\n" + base64(global, 64) + "\n";
}

std::string replace(std::string text, const std::string& from, const std::string& to) {
    text.replace(text.find(from), from.size(), to);
    return text;
}

std::string crlf(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

class Signature : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(sodium_init(), 0);
        archive.assign(150000, '\0');  // more than two read pieces
        for (std::size_t k = 0; k < archive.size(); ++k) archive[k] = static_cast<char>(k * 7);
        std::ofstream("alpha.zip", std::ios::binary) << archive;
        trusted = public_key_line(first) + "  " + public_key_line(second);
    }

    Signing by(const TestKey& key, const std::string& comment = "timestamp:1700000000\t"
                                                                 "file:alpha.zip\thashed") {
        return Signing{&key, key.id, "ED", comment};
    }

    // The timestamp of a text taken, 0 when it is refused. The text is in
    // memory of its exact length, unterminated: a read past its end is out
    // of bounds for the sanitizers.
    std::uint64_t verify(const std::string& text, const char* package_file = "alpha.zip") {
        std::uint64_t value = 0;
        std::unique_ptr<char[]> exact(new char[text.size() + (text.empty() ? 1 : 0)]);
        std::memcpy(exact.get(), text.data(), text.size());
        return signature_verify(exact.get(), text.size(), "alpha.zip", package_file,
                                trusted.c_str(), &value) ? value : 0;
    }

    WorkDir dir;
    std::string archive;
    TestKey first = make_key(1), second = make_key(2), other = make_key(3);
    std::string trusted;
};

}  // namespace

TEST_F(Signature, EachSignatureFileIsTakenOrRefused) {
    const std::string valid = sign(archive, by(first));
    Signing forged = by(other);
    forged.id = first.id;
    Signing legacy = by(first);
    legacy.algorithm[1] = 'd';
    legacy.whole_file = true;
    Signing marked_legacy = by(first);  // a hash signature under the legacy mark
    marked_legacy.algorithm[1] = 'd';
    const std::string comment_of = "timestamp:1700000000\tfile:alpha.zip\thashed";
    struct Row {
        const char* name;
        std::string text;
        std::uint64_t timestamp;  // 0: refused
    } rows[] = {
        {"valid", valid, 1700000000},
        {"valid, second trusted key", sign(archive, by(second)), 1700000000},
        {"valid, CR LF line ends", crlf(valid), 1700000000},
        {"fields in another order", sign(archive, by(first, "file:alpha.zip\ttimestamp:1")), 1},
        {"largest timestamp",
         sign(archive, by(first, "timestamp:18446744073709551615\tfile:alpha.zip")), UINT64_MAX},
        {"unknown key id", sign(archive, by(other)), 0},
        {"another key under the trusted key's id", sign(archive, forged), 0},
        {"altered archive", sign(archive + "x", by(first)), 0},
        {"altered trusted comment", replace(valid, "1700000000", "1700000001"), 0},
        {"legacy Ed", sign(archive, legacy), 0},
        {"legacy Ed mark on a hash signature", sign(archive, marked_legacy), 0},
        {"bad base64, signature", replace(valid, "\nR", "\n*"), 0},
        {"bad base64, global signature", valid.substr(0, valid.size() - 3) + "!=\n", 0},
        {"no untrusted comment", valid.substr(valid.find('\n') + 1), 0},
        {"missing file:", sign(archive, by(first, "timestamp:1700000000")), 0},
        {"missing timestamp:", sign(archive, by(first, "file:alpha.zip")), 0},
        {"file: of another package", sign(archive, by(first, "timestamp:1\tfile:beta.zip")), 0},
        {"file: a prefix of the name", sign(archive, by(first, "timestamp:1\tfile:alpha")), 0},
        {"file: the name and more", sign(archive, by(first, "timestamp:1\tfile:alpha.zip.1")), 0},
        {"two file: fields", sign(archive, by(first, "timestamp:1\tfile:alpha.zip\tfile:b")), 0},
        {"timestamp not decimal", sign(archive, by(first, "timestamp:1e9\tfile:alpha.zip")), 0},
        {"timestamp overflowing", sign(archive, by(first, "timestamp:18446744073709551616\t"
                                                          "file:alpha.zip")), 0},
        {"overlong trusted comment",
         sign(archive, by(first, comment_of + "\t" + std::string(signature_text_max, 'c'))), 0},
        {"empty", "", 0},
    };
    for (const Row& row : rows) EXPECT_EQ(verify(row.text), row.timestamp) << row.name;
    EXPECT_EQ(verify(valid, "beta.zip"), 0u) << "the same file published as another package";
}

TEST_F(Signature, EveryTruncationIsRefusedWithinItsBounds) {
    const std::string valid = sign(archive, by(first));
    for (std::size_t length = 0; length + 1 < valid.size(); ++length)
        EXPECT_EQ(verify(valid.substr(0, length)), 0u) << length;
    EXPECT_NE(verify(valid.substr(0, valid.size() - 1)), 0u) << "the last line end may be missing";
}

TEST_F(Signature, KeptFilesAreReadWhole) {
    char text[signature_text_max + 1];
    std::ofstream("kept.minisig", std::ios::binary) << std::string(signature_text_max, 'k');
    EXPECT_EQ(signature_read("kept.minisig", text), static_cast<long>(signature_text_max));
    std::ofstream("long.minisig", std::ios::binary) << std::string(signature_text_max + 1, 'k');
    EXPECT_EQ(signature_read("long.minisig", text), -1);
    EXPECT_EQ(signature_read("missing.minisig", text), -1);
}
