// The checksum of random files against a digest computed independently, by
// Python's hashlib over the same file.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include "transfer/md5.h"
#include "work_dir.h"

namespace {

std::string reference_md5(const std::string& path) {
    const std::string command = std::string(ORVANE_PYTHON) +
                                " -c \"import hashlib,sys; print(hashlib.md5(open(sys.argv[1],'rb')"
                                ".read()).hexdigest())\" " + path;
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return "";
    char line[64] = {};
    if (std::fgets(line, sizeof line, pipe) == nullptr) line[0] = '\0';
    pclose(pipe);
    std::string digest = line;
    while (!digest.empty() && (digest.back() == '\n' || digest.back() == '\r')) digest.pop_back();
    return digest;
}

}  // namespace

TEST(Md5Reference, RandomFilesMatchHashlib) {
    WorkDir dir;
    std::mt19937 generator(77);
    // Sizes around the block, the padding and the 16 KiB read boundaries.
    for (std::size_t size : {1u, 119u, 120u, 16383u, 16448u, 49153u, 1000003u}) {
        std::string data(size, '\0');
        for (char& c : data) c = static_cast<char>(generator());
        std::ofstream("random.bin", std::ios::binary | std::ios::trunc) << data;
        const std::string reference = reference_md5("random.bin");
        ASSERT_EQ(reference.size(), 32u) << "reference digest not available";
        const char* ours = file_md5_hex("random.bin", 1);
        ASSERT_NE(ours, nullptr);
        EXPECT_EQ(std::string(ours), reference) << size;
    }
}
