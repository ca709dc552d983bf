// MD5 as RFC 1321 defines it, fed in any pieces, and the checksum of files.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>

#include "transfer/md5.h"
#include "work_dir.h"

namespace {

std::string hex(const unsigned char digest[16]) {
    char text[33];
    for (int k = 0; k < 16; ++k) std::snprintf(text + 2 * k, 3, "%02x", digest[k]);
    return text;
}

std::string md5_of(const std::string& data) {
    Md5Context context;
    md5_init(&context);
    md5_update(&context, reinterpret_cast<const unsigned char*>(data.data()),
               static_cast<std::uint32_t>(data.size()));
    unsigned char digest[16];
    md5_final(digest, &context);
    return hex(digest);
}

void write_file(const char* path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

}  // namespace

TEST(Md5, Rfc1321TestSuite) {
    EXPECT_EQ(md5_of(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5_of("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(md5_of("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5_of("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(md5_of("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(md5_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(md5_of("1234567890123456789012345678901234567890"
                     "1234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, PaddingAndReadBoundariesOfFiles) {
    WorkDir dir;
    struct Case {
        std::size_t length;
        const char* digest;
    };
    // Runs of 'a': 55 and 56 sit on the two sides of the padding boundary;
    // 16,384 and 16,385 on the two sides of one file read.
    const Case cases[] = {{55, "ef1772b6dff9a122358552954ad0df65"},
                          {56, "3b0c8ac703f828b04c6c197006d17218"},
                          {63, "b06521f39153d618550606be297466d5"},
                          {64, "014842d480b571495a4a0363793f7367"},
                          {65, "c743a45e0d2e6a95cb859adae0248435"},
                          {16384, "09b47cf07c9d0ea589e0e2aa7d0d3550"},
                          {16385, "8d075f723556e776f6f5dcf28e6889a7"}};
    for (const Case& c : cases) {
        const std::string data(c.length, 'a');
        EXPECT_EQ(md5_of(data), c.digest) << c.length;
        write_file("run.bin", data);
        const char* text = file_md5_hex("run.bin", 1);
        ASSERT_NE(text, nullptr);
        EXPECT_STREQ(text, c.digest) << c.length;
    }
    write_file("empty.bin", "");
    EXPECT_STREQ(file_md5_hex("empty.bin", 1), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(Md5, PiecesOfAnySizeGiveTheDigestOfTheWhole) {
    WorkDir dir;
    std::mt19937 generator(20240611);
    std::string data(300007, '\0');
    for (char& c : data) c = static_cast<char>(generator());

    Md5Context context;
    md5_init(&context);
    std::uniform_int_distribution<int> kind(0, 9);
    std::size_t at = 0;
    int empty_pieces = 0;
    while (at < data.size()) {
        std::size_t n = 0;
        switch (kind(generator)) {
        case 0: n = 0; ++empty_pieces; break;
        case 1: n = 64; break;
        case 2: n = 1 + generator() % 5000; break;
        default: n = 1 + generator() % 130; break;
        }
        n = std::min(n, data.size() - at);
        md5_update(&context, reinterpret_cast<const unsigned char*>(data.data() + at),
                   static_cast<std::uint32_t>(n));
        at += n;
    }
    md5_update(&context, nullptr, 0);
    unsigned char digest[16];
    md5_final(digest, &context);
    ASSERT_GT(empty_pieces, 0);

    // The digest of these bytes as Python's hashlib computes it.
    const std::string whole = "73cd4f477ab14ab220474644c701bf31";
    EXPECT_EQ(hex(digest), whole);
    EXPECT_EQ(md5_of(data), whole);
    write_file("random.bin", data);  // many reads of the file, the last one short
    EXPECT_EQ(std::string(file_md5_hex("random.bin", 1)), whole);
}

TEST(Md5, CaseFlagAndFailedCallsLeaveThePreviousDigits) {
    WorkDir dir;
    write_file("abc.bin", "abc");
    char* upper = file_md5_hex("abc.bin", 0);
    ASSERT_EQ(upper, digest_text);
    EXPECT_STREQ(upper, "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_STREQ(file_md5_hex("abc.bin", 2), "900150983cd24fb0d6963f7d28e17f72");

    EXPECT_EQ(file_md5_hex("no-such-file.bin", 1), nullptr);
    EXPECT_EQ(file_md5_hex("", 1), nullptr);
    EXPECT_STREQ(digest_text, "900150983cd24fb0d6963f7d28e17f72");

    write_file("a.bin", "a");  // the next call overwrites the text
    EXPECT_STREQ(file_md5_hex("a.bin", 1), "0cc175b9c0f1b6a831c399e269772661");
}
