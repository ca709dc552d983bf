// The URL stream: local files first, then HTTP bodies read like a file, the
// announced length, and the ends a stalled or broken transfer comes to.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "orvane_config.h"
#include "test_server.h"
#include "transfer/url_stream.h"
#include "work_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::int32_t length_from_line(const std::string& line, std::int32_t before) {
    content_length = before;
    std::string copy = line;  // the callback gets no NUL-terminated text
    EXPECT_EQ(on_header(copy.data(), 1, copy.size(), nullptr), copy.size());
    return content_length;
}

// Reads a whole stream in reads of the given size.
std::string read_all(UrlStream* stream, std::uint32_t piece) {
    std::string all;
    std::vector<char> buffer(piece);
    for (;;) {
        std::uint32_t n = url_fread(buffer.data(), 1, piece, stream);
        if (n == 0) break;
        all.append(buffer.data(), n);
    }
    return all;
}

}  // namespace

TEST(UrlStream, LocalFileOfTheNameWinsOverTheTransfer) {
    TestServer server;
    server.put_file("/pkg.version", "remote");
    WorkDir dir;
    const std::string url = server.url("/pkg.version");
    // "http://127.0.0.1:<port>/pkg.version" as a relative path: http:/127.0.0.1:<port>/
    dir.make_directory("http:/127.0.0.1:" + std::to_string(server.port()));
    std::ofstream(url, std::ios::binary) << "local";

    content_length = 4321;
    UrlStream* stream = url_fopen(url.c_str(), "r");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(stream->kind, stream_kind_file);
    EXPECT_EQ(read_all(stream, 100), "local");
    EXPECT_EQ(url_fclose(stream), 0);
    EXPECT_EQ(content_length, 4321);
    EXPECT_TRUE(server.requests().empty());
}

TEST(UrlStream, OpensOnlyOnceTheServerHasAnsweredWhateverTheTiming) {
    EXPECT_EQ(url_fopen("nosuchscheme://127.0.0.1/x", "r"), nullptr);
    EXPECT_EQ(url_fopen("", "r"), nullptr);
    EXPECT_EQ(url_fopen("http://host.invalid/x", "r"), nullptr);  // never resolves

    // Refused, or closed without an answer: no stream, and at once, not after
    // a stream wait.
    ClosedPort refused;
    TestServer server;
    server.put_file("/empty", "");
    server.set_rules(R"({"/hangup": {"no_answer": true}})");
    for (const std::string& url : {refused.url("/x"), server.url("/hangup")}) {
        auto start = Clock::now();
        EXPECT_EQ(url_fopen(url.c_str(), "r"), nullptr) << url;
        EXPECT_LT(seconds_since(start), ORVANE_STREAM_WAIT_S * 0.4) << url;
    }

    // Connected, then silence: given up after one stream wait.
    ClosedPort silent(true);
    auto start = Clock::now();
    EXPECT_EQ(url_fopen(silent.url("/x").c_str(), "r"), nullptr);
    EXPECT_LT(seconds_since(start), ORVANE_STREAM_WAIT_S + 3.0);

    // An answer with an empty body is a stream that ends at once.
    UrlStream* stream = url_fopen(server.url("/empty").c_str(), "r");
    ASSERT_NE(stream, nullptr);
    char buffer[16];
    EXPECT_EQ(url_fread(buffer, 1, sizeof buffer, stream), 0u);
    EXPECT_EQ(url_fclose(stream), 0);
}

TEST(UrlStream, ReadsHandOutBodyInOrderWhateverTheirSize) {
    TestServer server;
    std::string body;
    for (int k = 0; k < 1000; ++k) body += static_cast<char>('A' + k % 26);
    server.put_file("/body.txt", body);

    UrlStream* stream = url_fopen(server.url("/body.txt").c_str(), "r");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(stream->kind, stream_kind_transfer);
    char small[100];
    ASSERT_EQ(url_fread(small, 1, sizeof small, stream), 100u);
    EXPECT_EQ(std::string(small, 100), body.substr(0, 100));

    // More than the rest: waits for the end, then gives everything left.
    std::vector<char> large(5000);
    ASSERT_EQ(url_fread(large.data(), 1, 5000, stream), 900u);
    EXPECT_EQ(std::string(large.data(), 900), body.substr(100));
    EXPECT_EQ(stream->still_running, 0);

    // Drained: the next read returns 0 at once.
    auto start = Clock::now();
    EXPECT_EQ(url_fread(large.data(), 1, 5000, stream), 0u);
    EXPECT_LT(seconds_since(start), 0.5);
    EXPECT_EQ(url_fclose(stream), 0);
}

TEST(UrlStream, TrailingPartialItemIsConsumedButNotCounted) {
    TestServer server;
    server.put_file("/six", "abcdef");
    UrlStream* stream = url_fopen(server.url("/six").c_str(), "r");
    ASSERT_NE(stream, nullptr);
    char buffer[40] = {};
    EXPECT_EQ(url_fread(buffer, 4, 10, stream), 1u);
    EXPECT_EQ(std::string(buffer, 6), "abcdef");
    EXPECT_EQ(stream->fill, 0);
    EXPECT_EQ(stream->buffer, nullptr);
    EXPECT_EQ(url_fread(buffer, 4, 10, stream), 0u);
    url_fclose(stream);
}

TEST(UrlStream, ZeroSizeOrCountHandsOutNothingWithoutWaiting) {
    TestServer server;
    server.put_file("/data", "0123456789");
    UrlStream* stream = url_fopen(server.url("/data").c_str(), "r");
    ASSERT_NE(stream, nullptr);
    char buffer[20] = {};
    auto start = Clock::now();
    EXPECT_EQ(url_fread(buffer, 0, 10, stream), 0u);
    EXPECT_EQ(url_fread(buffer, 10, 0, stream), 0u);
    EXPECT_LT(seconds_since(start), 0.5);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(read_all(stream, 20), "0123456789");  // nothing was lost
    url_fclose(stream);
}

TEST(UrlStream, ClosingARunningTransferStopsItAtOnce) {
    TestServer server;
    server.put_file("/slow", std::string(100, 'x'));
    server.set_rules(R"({"/slow": {"stall_after": 10, "stall_seconds": 30}})");
    UrlStream* stream = url_fopen(server.url("/slow").c_str(), "r");
    ASSERT_NE(stream, nullptr);
    char buffer[5];
    ASSERT_EQ(url_fread(buffer, 1, 5, stream), 5u);
    EXPECT_NE(stream->still_running, 0);
    auto start = Clock::now();
    EXPECT_EQ(url_fclose(stream), 0);
    EXPECT_LT(seconds_since(start), 0.5);
}

TEST(UrlStream, StalledOrTricklingTransferEndsAfterTheWaitLimitWithWhatArrived) {
    TestServer server;
    server.put_file("/stall", std::string(5000, 's'));
    server.put_file("/trickle", std::string(5000, 't'));
    // A trickle far below the slowest rate allowed, yet never silent a whole wait.
    server.set_rules(R"({"/stall": {"stall_after": 100, "stall_seconds": 30},
                         "/trickle": {"trickle": [1, 0.3]}})");
    for (const char* path : {"/stall", "/trickle"}) {
        UrlStream* stream = url_fopen(server.url(path).c_str(), "r");
        ASSERT_NE(stream, nullptr);
        auto start = Clock::now();
        std::vector<char> buffer(5000);
        const std::uint32_t got = url_fread(buffer.data(), 1, 5000, stream);
        const double waited = seconds_since(start);
        EXPECT_GE(waited, ORVANE_STREAM_WAIT_S * 0.9) << path;
        // Well short of a limit three times the wait.
        EXPECT_LT(waited, ORVANE_STREAM_WAIT_S * 2.0) << path;
        // All of the stall's first 100 bytes; a few bytes of the trickle.
        EXPECT_EQ(got == 100u, std::string(path) == "/stall") << path << ": " << got;
        EXPECT_LT(got, 100u + 30u) << path;
        // Ended: no second wait.
        start = Clock::now();
        EXPECT_EQ(url_fread(buffer.data(), 1, 5000, stream), 0u);
        EXPECT_LT(seconds_since(start), 0.5);
        url_fclose(stream);
    }
}

TEST(UrlStream, RateLimitHoldsTheTransferBackWithPausesLongerThanAStreamWait) {
    TestServer server;
    const std::string body(250 * 1024, 'r');
    server.put_file("/limited", body);
    url_set_max_kbps(1);  // below the slowest rate otherwise allowed: half of it counts
    EXPECT_EQ(url_slowest_bytes_per_second(), std::min(512L, ORVANE_LOW_SPEED_BYTES));
    url_set_max_kbps(100);
    auto start = Clock::now();
    UrlStream* stream = url_fopen(server.url("/limited").c_str(), "r");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(read_all(stream, 4096), body);
    EXPECT_GE(seconds_since(start), 1.4);  // 2.5 s at the limit, 1 s of it may come at once
    url_fclose(stream);
    url_set_max_kbps(0);
}

TEST(UrlStream, BodyBufferGrowsToExactlyWhatIsHeldAndShrinksAsItIsRead) {
    UrlStream stream{};
    char abc[] = "abc";
    char de[] = "de";
    char f[] = "f";
    EXPECT_EQ(on_body(abc, 1, 3, &stream), 3u);
    EXPECT_EQ(stream.capacity, 3);
    EXPECT_EQ(on_body(de, 2, 1, &stream), 2u);
    EXPECT_EQ(stream.capacity, 5);
    EXPECT_EQ(stream.fill, 5);
    stream_consume(&stream, 2);
    EXPECT_EQ(std::string(stream.buffer + stream.start, stream.fill), "cde");
    EXPECT_EQ(stream.capacity, 5);
    EXPECT_EQ(on_body(f, 1, 1, &stream), 1u);  // fits once moved to the front: no growth
    EXPECT_EQ(stream.capacity, 5);
    EXPECT_EQ(std::string(stream.buffer + stream.start, stream.fill), "cdef");
    stream_consume(&stream, 10);  // more than held: everything goes
    EXPECT_EQ(stream.buffer, nullptr);
    EXPECT_EQ(stream.fill, 0);
    EXPECT_EQ(stream.capacity, 0);
}

TEST(UrlStream, InvalidKindFailsWithBadFileDescriptor) {
    auto* stream = static_cast<UrlStream*>(std::calloc(1, sizeof(UrlStream)));
    stream->kind = 7;
    stream->buffer = static_cast<char*>(std::malloc(8));  // freed by the close
    char buffer[4];
    errno = 0;
    EXPECT_EQ(url_fread(buffer, 1, 4, stream), 0u);
    EXPECT_EQ(errno, EBADF);
    errno = 0;
    EXPECT_EQ(url_fclose(stream), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(UrlContentLength, HeaderLineParsing) {
    EXPECT_EQ(length_from_line("Content-Length: 512\r\n", 0), 512);
    EXPECT_EQ(length_from_line("content-length: 512\r\n", 33), 33);    // case matters
    EXPECT_EQ(length_from_line("Content-Length:512\r\n", 33), 33);     // the blank is part of the label
    EXPECT_EQ(length_from_line("X-Content-Length: 77\r\n", 0), 77);    // anywhere in the line
    EXPECT_EQ(length_from_line("Content-Length: 12 bytes\r\n", 0), 12);
    EXPECT_EQ(length_from_line("Content-Length: 12abc\r\n", 0), 12);
    EXPECT_EQ(length_from_line("Content-Length: +12\r\n", 33), 0);
    EXPECT_EQ(length_from_line("Content-Length: x5\r\n", 33), 0);
    EXPECT_EQ(length_from_line("Content-Length: \r\n", 33), 0);
    EXPECT_EQ(length_from_line("Content-Length: 512\n", 33), 33);      // bare LF
    EXPECT_EQ(length_from_line("Content-Length: 512", 33), 33);        // no line end
    EXPECT_EQ(length_from_line("Server: test\r\n", 33), 33);
    EXPECT_EQ(length_from_line("Content-Length: 2147483647\r\n", 0), 2147483647);
    // Beyond 32 bits the length is held as the largest one, never negative.
    EXPECT_EQ(length_from_line("Content-Length: 2147483648\r\n", 0), 2147483647);
    EXPECT_EQ(length_from_line("Content-Length: 5000000000\r\n", 0), 2147483647);
    EXPECT_EQ(length_from_line("Content-Length: " + std::string(300, '9') + "\r\n", 0), 2147483647);
    // Only the first 254 characters of the value count.
    EXPECT_EQ(length_from_line("Content-Length: " + std::string(253, '0') + "7" +
                                   std::string(46, '9') + "\r\n", 0), 7);
}

// What a response says of itself, whatever the case of its header names; the
// length label in lower case counts for HTTP/2 answers only.
TEST(UrlContentLength, ResponseIsReadFromItsHeaderLinesInAnyCase) {
    UrlStream stream{};
    auto feed = [&stream](std::string line) { on_header(line.data(), 1, line.size(), &stream); };
    feed("HTTP/1.1 200 Connection established\r\n");  // a proxy's answer comes first
    feed("ETag: \"proxy\"\r\n");
    content_length = 33;
    feed("HTTP/2 206 \r\n");
    EXPECT_EQ(stream.response.http2, 1);
    EXPECT_EQ(stream.response.etag[0], '\0');
    feed("content-length: 512\r\n");
    feed("content-range: bytes 100-611/2000\r\n");
    feed("last-modified: Tue, 01 Oct 2024 10:00:00 GMT\r\n");
    EXPECT_EQ(content_length, 512);
    EXPECT_EQ(stream.response.status, 206);
    EXPECT_EQ(stream.response.length, 512);
    EXPECT_EQ(stream.response.range_first, 100);
    EXPECT_EQ(stream.response.range_total, 2000);
    EXPECT_STREQ(url_validator(stream.response), "Tue, 01 Oct 2024 10:00:00 GMT");
    feed("ETAG:  \"abc\" \r\n");  // a strong ETag wins over the date
    EXPECT_STREQ(url_validator(stream.response), "\"abc\"");
    feed("etag: W/\"abc\"\r\n");  // weak: no validator at all
    EXPECT_STREQ(stream.response.etag, "");

    feed("HTTP/1.1 206 Partial Content\r\n");
    content_length = 33;
    feed("content-length: 512\r\n");  // HTTP/1.1 reads its label as it always did
    EXPECT_EQ(content_length, 33);
    EXPECT_EQ(stream.response.length, 512);
    for (const char* range : {"Content-Range: bytes */2000\r\n", "Content-Range: items 1-2/3\r\n",
                              "Content-Range: bytes 9-5/20\r\n", "Content-Range: bytes 1-x/20\r\n"}) {
        feed("HTTP/1.1 206 Partial Content\r\n");
        feed(range);
        EXPECT_EQ(stream.response.range_first, -1) << range;
    }
    feed("ETag: \"" + std::string(300, 'e') + "\"\r\n");  // too long to send back: none
    feed("Last-Modified: a\x01b\r\n");                    // a control character: none
    EXPECT_STREQ(url_validator(stream.response), "");
}

TEST(UrlContentLength, SetFromTheResponseAndTheLaterMatchingLineWins) {
    TestServer server;
    server.put_file("/plain", std::string(512, 'p'));
    server.set_rules(R"({
        "/two": {"body": "1234567", "headers": ["Content-Length: 7\r\n", "X-Content-Length: 99\r\n"]},
        "/lower": {"body": "abcde", "headers": ["content-length: 5\r\n"]},
        "/bare": {"body": "1234567", "headers": ["Content-Length: 7\n"]},
        "/none": {"body": "close-delimited", "length": "none"},
        "/late": {"body": "late", "header_delay": 0.4, "validator": "etag"}
    })");
    struct Case {
        const char* path;
        std::int32_t expected;
        const char* body;
    };
    const std::string plain(512, 'p');
    const Case cases[] = {{"/plain", 512, plain.c_str()}, {"/two", 99, "1234567"},
                          {"/lower", -3, "abcde"}, {"/bare", -3, "1234567"},
                          {"/none", -3, "close-delimited"}, {"/late", 4, "late"}};
    for (const Case& c : cases) {
        content_length = -3;  // the headers arrive while the stream opens
        UrlStream* stream = url_fopen(server.url(c.path).c_str(), "r");
        ASSERT_NE(stream, nullptr) << c.path;
        // Known at open, however late the header lines came after the status line.
        EXPECT_EQ(content_length, c.expected) << c.path;
        EXPECT_EQ(url_validator(stream->response)[0] == '"', c.path == std::string("/late"));
        EXPECT_EQ(read_all(stream, 4096), c.body) << c.path;
        EXPECT_EQ(content_length, c.expected) << c.path;
        url_fclose(stream);
    }
}
