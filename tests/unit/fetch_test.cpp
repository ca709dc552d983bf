// Downloads into local files and text fetches over the loopback update
// server: result codes, progress reports, failure lines and what is left on disk.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/resource.h>
#include <string>
#include <vector>

#include "orvane_config.h"
#include "test_server.h"
#include "transfer/disk_space.h"
#include "transfer/fetch.h"
#include "transfer/file_digest.h"
#include "transfer/url_stream.h"
#include "work_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Call {
    int done;
    int total;
    std::string message;  // "<none>" for progress
};

std::vector<Call> calls;
int stop_at_call = 0;  // nonzero: the ReportFn asks to stop at this call

int recording_report(int done, int total, const char* message) {
    calls.push_back({done, total, message ? message : "<none>"});
    return stop_at_call != 0 && static_cast<int>(calls.size()) == stop_at_call ? 1 : 0;
}

std::string file_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string random_bytes(std::size_t n, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(n, '\0');
    for (char& c : bytes) c = static_cast<char>(generator());
    return bytes;
}

// The digests taken as a download was written are those of the file it left.
void expect_written_digests(FileDigest& digest, const char* path) {
    char md5[33];
    unsigned char hash[file_digest_hash_size], read[file_digest_hash_size];
    ASSERT_TRUE(file_digest_end(&digest, md5, hash));
    const std::string bytes = file_text(path);
    crypto_generichash(read, sizeof read, reinterpret_cast<const unsigned char*>(bytes.data()),
                       bytes.size(), nullptr, 0);
    EXPECT_STREQ(md5, file_md5_hex(path, 1));
    EXPECT_EQ(std::memcmp(hash, read, sizeof hash), 0);
}

class Download : public testing::Test {
protected:
    void SetUp() override {
        calls.clear();
        stop_at_call = 0;
    }
    // Runs download_file with the recording ReportFn, capturing both streams.
    int download(const std::string& url, const std::string& local) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int result = download_file(url.c_str(), local.c_str(), recording_report);
        std::fflush(stdout);
        std::fflush(stderr);
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        return result;
    }
    WorkDir dir;
    TestServer server;
    std::string out;
    std::string err;
};

}  // namespace

TEST_F(Download, ReportsEveryFullReadWithTheAnnouncedTotalAndPausesAtTheEnd) {
    const std::string body = random_bytes(200000, 1);
    server.put_file("/pkg.zip", body);
    const auto start = Clock::now();
    EXPECT_EQ(download(server.url("/pkg.zip"), "pkg.zip"), 0);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    EXPECT_GE(elapsed.count(), static_cast<long long>(ORVANE_DOWNLOAD_PAUSE_MS));

    ASSERT_EQ(calls.size(), 4u);
    const int expected_done[] = {65535, 131070, 196605, 200000};
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(calls[k].done, expected_done[k]);
        EXPECT_EQ(calls[k].total, 200000);
        EXPECT_EQ(calls[k].message, "<none>");
    }
    EXPECT_TRUE(file_text("pkg.zip") == body);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
}

TEST_F(Download, BodyWithoutLengthReportsZeroTotal) {
    server.put_file("/pkg.zip", random_bytes(70000, 2));
    server.set_rules(R"({"/pkg.zip": {"length": "none"}})");
    EXPECT_EQ(download(server.url("/pkg.zip"), "pkg.zip"), 0);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].done, 65535);
    EXPECT_EQ(calls[1].done, 70000);
    EXPECT_EQ(calls[0].total, 0);
    EXPECT_EQ(calls[1].total, 0);
    EXPECT_EQ(std::filesystem::file_size("pkg.zip"), 70000u);
}

TEST_F(Download, LocalFileNotWritableGivesCodeOneAndBothLines) {
    server.put_file("/pkg.zip", "data");
    EXPECT_EQ(download(server.url("/pkg.zip"), "missing-dir/pkg.zip"), 1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].done, -1);
    EXPECT_EQ(calls[0].total, -1);
    EXPECT_EQ(calls[0].message, "Error connecting to Halvex server.");
    EXPECT_EQ(err.rfind("couldnt open fgets output file\n: ", 0), 0u) << err;
    EXPECT_FALSE(std::filesystem::exists("missing-dir"));
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(Download, UrlNotOpenableGivesCodeTwoAndLeavesAnEmptyFile) {
    std::ofstream("pkg.zip", std::ios::binary) << "old contents";
    EXPECT_EQ(download("nosuchscheme://127.0.0.1/pkg.zip", "pkg.zip"), 2);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].done, -1);
    EXPECT_EQ(calls[0].total, -1);
    EXPECT_EQ(calls[0].message, "Error downloading file.");
    EXPECT_EQ(out, "couldn't url_fopen()\n");
    ASSERT_TRUE(std::filesystem::exists("pkg.zip"));
    EXPECT_EQ(std::filesystem::file_size("pkg.zip"), 0u);
}

TEST_F(Download, CallbackAskingToStopGivesCodeThreeAndRemovesTheFile) {
    server.put_file("/pkg.zip", random_bytes(200000, 3));
    stop_at_call = 1;
    EXPECT_EQ(download(server.url("/pkg.zip"), "pkg.zip"), 3);
    EXPECT_EQ(calls.size(), 1u);
    EXPECT_FALSE(std::filesystem::exists("pkg.zip"));
}

TEST_F(Download, NoAnswerGivesCodeTwoAndAnEmptyBodyCodeFourBothSaid) {
    ClosedPort refused;
    EXPECT_EQ(download(refused.url("/pkg.zip"), "pkg.zip"), 2);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].message, "Error downloading file.");
    EXPECT_EQ(out, "couldn't url_fopen()\n");
    EXPECT_EQ(std::filesystem::file_size("pkg.zip"), 0u);

    calls.clear();
    server.put_file("/empty.zip", "");
    EXPECT_EQ(download(server.url("/empty.zip"), "empty.zip"), 4);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].done, -1);
    EXPECT_EQ(calls[0].total, -1);
    EXPECT_EQ(calls[0].message, "Error downloading file.");
    EXPECT_FALSE(std::filesystem::exists("empty.zip"));
    EXPECT_EQ(out, "");
}

TEST_F(Download, BodyCutOffKeepsTheBytesReceived) {
    const std::string body = random_bytes(200000, 4);
    server.put_file("/pkg.zip", body);
    server.set_rules(R"({"/pkg.zip": {"drop_after": 70000}})");
    EXPECT_EQ(download(server.url("/pkg.zip"), "pkg.zip"), 0);
    EXPECT_TRUE(file_text("pkg.zip") == body.substr(0, 70000));
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().done, 70000);
    EXPECT_EQ(calls.back().total, 200000);
}

TEST_F(Download, ErrorPagesAndRedirectsAreDownloadedLikeAnyBody) {
    EXPECT_EQ(download(server.url("/missing.zip"), "missing.zip"), 0);
    EXPECT_NE(file_text("missing.zip").find("404 Not Found"), std::string::npos);

    server.set_rules(R"({
        "/broken.zip": {"status": 500, "body": "<html>server trouble</html>"},
        "/moved.zip": {"status": 302, "headers": ["Location: /elsewhere.zip\r\n"], "body": "moved"}
    })");
    server.put_file("/elsewhere.zip", "the real thing");
    EXPECT_EQ(download(server.url("/broken.zip"), "broken.zip"), 0);
    EXPECT_EQ(file_text("broken.zip"), "<html>server trouble</html>");
    EXPECT_EQ(download(server.url("/moved.zip"), "moved.zip"), 0);
    EXPECT_EQ(file_text("moved.zip"), "moved");
    const std::vector<std::string> expected = {"GET /missing.zip", "GET /broken.zip", "GET /moved.zip"};
    EXPECT_EQ(server.requests(), expected);  // the redirect was not followed
}

TEST_F(Download, StallEndsWithinTheWaitLimitKeepingWhatArrived) {
    const std::string body = random_bytes(300000, 5);
    server.put_file("/pkg.zip", body);
    server.set_rules(R"({"/pkg.zip": {"stall_after": 100000, "stall_seconds": 30}})");
    const auto start = Clock::now();
    EXPECT_EQ(download(server.url("/pkg.zip"), "pkg.zip"), 0);
    const double waited = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_LT(waited, ORVANE_STREAM_WAIT_S * 2.0 + ORVANE_DOWNLOAD_PAUSE_MS / 1000.0);
    EXPECT_TRUE(file_text("pkg.zip") == body.substr(0, 100000));
}

TEST_F(Download, SlowTrickleAndResolvedHostNameArriveWhole) {
    const std::string body = random_bytes(3000, 6);
    server.put_file("/pkg.zip", body);
    server.set_rules(R"({"/pkg.zip": {"trickle": [500, 0.05]}})");
    EXPECT_EQ(download(server.url("/pkg.zip"), "pkg.zip"), 0);
    EXPECT_TRUE(file_text("pkg.zip") == body);

    // A name, not an address: looked up while the stream waits.
    const std::string by_name = "http://localhost:" + std::to_string(server.port()) + "/pkg.zip";
    EXPECT_EQ(download(by_name, "named.zip"), 0);
    EXPECT_TRUE(file_text("named.zip") == body);
}

// A volume of no size at all (/proc; some FUSE and network file systems) is no full one.
TEST(DiskSpace, VolumeOfNoSizeHasRoom) {
    EXPECT_TRUE(disk_space_enough(L"/proc", 1 << 20, "%s %d %d", "x", recording_report));
}

TEST(FetchText, BodiesComeBackAsNulTerminatedText) {
    TestServer server;
    server.put_file("/empty.version", "");
    server.put_file("/nul.version", std::string("ab\0cd", 5));
    const std::string big = random_bytes(70000, 7);
    server.put_file("/big.version", big);
    server.put_file("/a.version", "1.2.3-long");
    server.put_file("/b.version", "1.3");

    std::memset(fetch_buffer, 'z', sizeof fetch_buffer);
    char* text = fetch_text(server.url("/empty.version").c_str());
    ASSERT_EQ(text, fetch_buffer);
    EXPECT_STREQ(text, "");

    text = fetch_text(server.url("/nul.version").c_str());
    ASSERT_EQ(text, fetch_buffer);
    EXPECT_EQ(std::memcmp(text, "ab\0cd\0", 6), 0);  // the text ends at the NUL

    ASSERT_EQ(fetch_text(server.url("/big.version").c_str()), fetch_buffer);
    EXPECT_EQ(std::memcmp(fetch_buffer, big.data(), 65534), 0);
    EXPECT_EQ(fetch_buffer[65534], '\0');

    // A later fetch overwrites the earlier text.
    EXPECT_STREQ(fetch_text(server.url("/a.version").c_str()), "1.2.3-long");
    EXPECT_STREQ(fetch_text(server.url("/b.version").c_str()), "1.3");
}

TEST(FetchText, FailedFetchEmptiesTheBufferAndSaysSo) {
    TestServer server;
    server.put_file("/a.version", "1.2.3");
    ASSERT_STREQ(fetch_text(server.url("/a.version").c_str()), "1.2.3");
    testing::internal::CaptureStdout();
    char* text = fetch_text("nosuchscheme://127.0.0.1/a.version");
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "couldn't url_fopen()\n");
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(fetch_buffer[0], '\0');

    // Refused: no text, not the previous one.
    ASSERT_STREQ(fetch_text(server.url("/a.version").c_str()), "1.2.3");
    ClosedPort refused;
    EXPECT_EQ(fetch_text(refused.url("/a.version").c_str()), nullptr);
    EXPECT_EQ(fetch_buffer[0], '\0');
}

// With its socket numbered past what select can watch, libcurl names no
// socket at all; the stream must poll the transfer instead of ending it.
TEST_F(Download, TransferWithoutAWatchableSocketStillCompletes) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < FD_SETSIZE + 64) {
        limit.rlim_cur = limit.rlim_max < FD_SETSIZE + 64 ? limit.rlim_max : FD_SETSIZE + 64;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    std::vector<int> fillers;
    const int null_fd = open("/dev/null", O_RDONLY);
    for (;;) {
        int fd = null_fd < 0 ? -1 : dup(null_fd);
        if (fd < 0) break;
        fillers.push_back(fd);
        if (fd >= FD_SETSIZE + 8) break;
    }
    const bool high = !fillers.empty() && fillers.back() >= FD_SETSIZE + 8;
    const std::string body = random_bytes(150000, 8);
    server.put_file("/pkg.zip", body);
    const auto start = Clock::now();
    const int result = high ? download(server.url("/pkg.zip"), "pkg.zip") : -1;
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    for (int fd : fillers) close(fd);
    if (null_fd >= 0) close(null_fd);
    if (!high) GTEST_SKIP() << "cannot open enough descriptors";
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(file_text("pkg.zip") == body);
    EXPECT_LT(took, 10.0);
}

// An endless body (here one announced past 2 GiB) stops at the download cap:
// the disk never fills and the 32-bit progress numbers never turn negative.
TEST_F(Download, EndlessBodyStopsAtTheCap) {
    const std::uintmax_t size = (std::uintmax_t{1} << 31) + 100000;
    {
        std::ofstream(server.root() / "big.bin", std::ios::binary);
    }
    std::filesystem::resize_file(server.root() / "big.bin", size);  // sparse: no disk used
    constexpr std::int64_t cap = ORVANE_DOWNLOAD_CAP_BYTES;
    calls.reserve(static_cast<std::size_t>(cap / 65535 + 2));
    EXPECT_EQ(download_file(server.url("/big.bin").c_str(), "big.bin", recording_report), 0);
    EXPECT_EQ(std::filesystem::file_size("big.bin"), static_cast<std::uintmax_t>(cap));
    ASSERT_EQ(calls.size(), static_cast<std::size_t>((cap + 65534) / 65535));
    int previous = 0;
    int wrong = 0;
    for (const Call& c : calls) {
        if (c.done <= previous || c.total != 2147483647) ++wrong;
        previous = c.done;
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(calls.back().done, cap);
}

// A transfer cut after some bytes is asked again for its rest under the first
// answer's validator; what cannot be resumed ends as it always did.
TEST_F(Download, CutTransferResumesOnlyWhatTheServerCanStillSendInPart) {
    std::string body = random_bytes(100000, 9);
    std::string next = random_bytes(100000, 10);
    for (std::string* text : {&body, &next})  // letters: the bodies go into the rules
        for (char& c : *text) c = static_cast<char>('a' + static_cast<unsigned char>(c) % 26);
    const std::string etag = "\"validator\": \"etag\", ";
    const std::string cut = "\"drop_after\": 30000, \"drops\": 1";
    struct Case {
        const char* name;
        std::string rule;
        int result;
        std::string file;      // what the local file holds afterwards ("-": none)
        std::size_t requests;  // of which all but the first ask for a range
    };
    const Case cases[] = {
        {"strong etag", etag + cut, 0, body, 2},
        {"last-modified", "\"validator\": \"last-modified\", " + cut, 0, body, 2},
        {"weak etag", "\"validator\": \"weak-etag\", " + cut, 0, body.substr(0, 30000), 1},
        {"no validator", cut, 0, body.substr(0, 30000), 1},
        {"ranges ignored", etag + "\"ignore_ranges\": true, \"drop_after\": 30000", 0,
         body.substr(0, 30000), 2},
        {"changed between attempts",
         etag + "\"sequence\": [\"" + body + "\", \"" + next + "\"], " + cut, 0, next, 2},
        {"wrong content-range", etag + "\"range_offset\": 1, " + cut, 4, "-", 2},
        {"cut every time", etag + "\"drop_after\": 10000", download_incomplete,
         body.substr(0, 10000 * ORVANE_RESUME_ATTEMPTS), ORVANE_RESUME_ATTEMPTS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestServer site;
        site.put_file("/pkg.zip", body);
        site.set_rules("{\"/pkg.zip\": {" + c.rule + "}}");
        calls.clear();
        FileDigest digest{};
        digest.with_hash = true;
        download_digest = &digest;
        EXPECT_EQ(download(site.url("/pkg.zip"), "pkg.zip"), c.result);
        if (c.result == 0) expect_written_digests(digest, "pkg.zip");
        EXPECT_TRUE((std::filesystem::exists("pkg.zip") ? file_text("pkg.zip") : "-") == c.file);
        EXPECT_EQ(std::filesystem::exists("pkg.zip.state"), c.result == download_incomplete);
        const std::vector<std::string> requests = site.requests();
        ASSERT_EQ(requests.size(), c.requests);
        EXPECT_EQ(requests[0], "GET /pkg.zip");
        for (std::size_t k = 1; k < requests.size(); ++k)
            EXPECT_EQ(requests[k].rfind("GET /pkg.zip bytes=", 0), 0u) << requests[k];
        // Progress counts the whole resource throughout.
        for (const Call& call : calls)
            EXPECT_TRUE(call.message != "<none>" || call.total == 100000) << call.total;
        if (c.result != download_incomplete) continue;
        // The next download asks for the rest of what was kept.
        site.set_rules(R"({"/pkg.zip": {"validator": "etag"}})");
        EXPECT_EQ(download(site.url("/pkg.zip"), "pkg.zip"), 0);
        EXPECT_TRUE(file_text("pkg.zip") == body);
        expect_written_digests(digest, "pkg.zip");  // the kept part taken once
        EXPECT_EQ(site.requests().back(),
                  "GET /pkg.zip bytes=" + std::to_string(10000 * ORVANE_RESUME_ATTEMPTS) + "-");
        EXPECT_FALSE(std::filesystem::exists("pkg.zip.state"));
    }
    download_digest = nullptr;
}

// Bytes written out of order (a gap, or over what was taken) leave the
// digests speaking for no file: it must then be read to be checked.
TEST(FileDigest, BytesOutOfOrderAreNotTakenForTheFile) {
    for (std::int64_t offset : {3, 1}) {
        FileDigest digest{};
        file_digest_start(&digest);
        file_digest_add(&digest, 0, "ab", 2);
        file_digest_add(&digest, offset, "d", 1);
        char md5[33];
        unsigned char hash[file_digest_hash_size];
        EXPECT_FALSE(file_digest_end(&digest, md5, hash)) << offset;
    }
}
