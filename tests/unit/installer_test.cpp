// The package installer on archives built by the tests, in a fresh directory.
#include <gtest/gtest.h>

#include <zip.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "platform/win32.h"
#include "update/installer.h"
#include "work_dir.h"
#include "zip_builder.h"

namespace fs = std::filesystem;

namespace {

std::string read_file(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

std::string random_bytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>(generator());
    return data;
}

// A deflated archive written by the archive library itself.
void write_deflated(const std::string& path, const std::string& name, const std::string& data) {
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    ASSERT_NE(archive, nullptr);
    zip_source_t* source = zip_source_buffer(archive, data.data(), data.size(), 0);
    ASSERT_NE(source, nullptr);
    ASSERT_GE(zip_file_add(archive, name.c_str(), source, 0), 0);
    ASSERT_EQ(zip_set_file_compression(archive, 0, ZIP_CM_DEFLATE, 9), 0);
    ASSERT_EQ(zip_close(archive), 0);
}

// Overwrites the middle of the first entry's compressed data.
void damage_first_entry(const std::string& path) {
    std::string bytes = read_file(path);
    ASSERT_EQ(bytes.compare(0, 4, "PK\x03\x04"), 0);
    auto u16 = [&](std::size_t at) {
        return static_cast<std::size_t>(static_cast<unsigned char>(bytes[at]) |
                                        static_cast<unsigned char>(bytes[at + 1]) << 8);
    };
    std::size_t compressed = u16(18) | u16(20) << 16;
    std::size_t start = 30 + u16(26) + u16(28);
    ASSERT_GT(compressed, 16u);
    for (std::size_t i = compressed / 4; i < compressed * 3 / 4; ++i) bytes[start + i] ^= 0x5A;
    ZipBuilder::write_file(path, bytes);
}

class InstallerTest : public ::testing::Test {
protected:
    WorkDir dir;
};

// The number of entries directly in a directory.
std::ptrdiff_t entries_in(const fs::path& directory) {
    return std::distance(fs::directory_iterator(directory), fs::directory_iterator());
}

// The files under a directory that an entry's write left beside its target.
int temporaries_under(const fs::path& directory) {
    int count = 0;
    for (const auto& file : fs::recursive_directory_iterator(directory)) {
        if (file.path().filename().string().find(".orvane-new") != std::string::npos) ++count;
    }
    return count;
}

}  // namespace

TEST_F(InstallerTest, ExtractsDirectoryEntriesNestedDirectoriesAndEmptyEntries) {
    ZipBuilder::write_file("empty.txt", "old content");
    ZipBuilder::write_file("empty.txt.orvane-new", "left by a power cut");
    ZipBuilder()
        .add("bin/", "")
        .add("bin/tool.exe", "tool")
        .add("a/b/c/d.txt", "deep")
        .add("empty.txt", "")
        .write("p.zip");

    EXPECT_EQ(install_package("p.zip"), 0);
    EXPECT_EQ(install_error_count(), 0);
    EXPECT_TRUE(fs::is_directory("bin"));
    EXPECT_EQ(read_file("bin/tool.exe"), "tool");
    EXPECT_EQ(read_file("a/b/c/d.txt"), "deep");
    EXPECT_TRUE(fs::exists("empty.txt"));
    EXPECT_EQ(fs::file_size("empty.txt"), 0u);
    EXPECT_TRUE(fs::exists("p.zip")) << "the archive is read, never changed or removed";
    EXPECT_EQ(temporaries_under("."), 0);
}

// A replaced file is a new file: it keeps the old one's mode (an executable
// stays executable), while a new file gets the usual one.
TEST_F(InstallerTest, ReplacedFilesKeepTheirPermissionBitsAndLinksAreReplacedNotFollowed) {
    ZipBuilder::write_file("tool", "old");
    fs::permissions("tool", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    ZipBuilder().add("tool", "new").add("fresh.txt", "f").write("p.zip");
    ASSERT_EQ(install_package("p.zip"), 0);
    EXPECT_EQ(install_error_count(), 0);
    EXPECT_EQ(read_file("tool"), "new");
#ifndef _WIN32
    EXPECT_EQ(fs::status("tool").permissions(),
              fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    EXPECT_EQ(fs::status("fresh.txt").permissions() & fs::perms::owner_exec, fs::perms::none);

    // A link in the tree is replaced, never written through to where it points.
    dir.make_directory("root");
    fs::current_path(dir.path() / "root");
    ZipBuilder::write_file("../outside.txt", "outside");
    fs::create_symlink("../outside.txt", "link.txt");
    ZipBuilder().add("link.txt", "inside").write("q.zip");
    ASSERT_EQ(install_package("q.zip"), 0);
    EXPECT_EQ(read_file("../outside.txt"), "outside");
    EXPECT_FALSE(fs::is_symlink("link.txt"));
    EXPECT_EQ(read_file("link.txt"), "inside");
#endif
}

// An installed file that already holds its entry's content is left as it is:
// nothing written beside it or renamed over it. Only the content decides: a
// file of the same size with other bytes, and a link, are replaced.
TEST_F(InstallerTest, UnchangedFilesAreLeftAsTheyAreAndOnlyTheirContentDecides) {
    ZipBuilder::write_file("same.txt", "same content");
    ZipBuilder::write_file("other.txt", "0123456789");
    const auto stamp = fs::last_write_time("same.txt") - std::chrono::hours(24);
    fs::last_write_time("same.txt", stamp);
    dir.make_directory("same.txt.orvane-new");  // a write beside it would fail
    ZipBuilder().add("same.txt", "same content").add("other.txt", "9876543210").write("p.zip");
    ASSERT_EQ(install_package("p.zip"), 0);
    EXPECT_EQ(install_error_count(), 0);
    EXPECT_EQ(fs::last_write_time("same.txt"), stamp);
    EXPECT_EQ(read_file("other.txt"), "9876543210");
#ifndef _WIN32
    // A link as long as what it points to, which holds the entry's bytes.
    ZipBuilder::write_file("contents", "contents");
    fs::create_symlink("contents", "link.txt");
    ZipBuilder().add("link.txt", "contents").write("q.zip");
    ASSERT_EQ(install_package("q.zip"), 0);
    EXPECT_FALSE(fs::is_symlink("link.txt"));
#endif
}

// An entry that declares more than any disk holds (zip64's field) is no
// room for the installation, never a count wrapped into room.
TEST_F(InstallerTest, EntryDeclaringMoreThanAnyDiskHoldsIsRefusedBeforeAWrite) {
    std::string a = ZipBuilder().add("small.txt", "s").add("huge.bin", "x").bytes();
    const std::size_t record = a.rfind("PK\1\2"), end = a.find("PK\5\6");
    a.replace(record + 24, 4, "\xff\xff\xff\xff");
    a[record + 30] = 12;  // the extra field below: 2^64 - 1 bytes
    a.insert(end, std::string("\1\0\x08\0", 4) + std::string(8, '\xff'));
    a[end + 24] = static_cast<char>(a[end + 24] + 12);  // the directory's size
    ZipBuilder::write_file("p.zip", a);
    ASSERT_EQ(install_package("p.zip"), 0);
    EXPECT_EQ(install_error_count(), 1);
    EXPECT_FALSE(fs::exists("small.txt"));
}

// Two entries of one name leave no one content for the file: neither is
// written and the caller sees a corrupt package.
TEST_F(InstallerTest, TwoEntriesOfOneNameRefuseTheArchive) {
    ZipBuilder().add("twice.txt", "first").add("other.txt", "o").add("twice.txt", "second")
        .write("p.zip");

    EXPECT_EQ(install_package("p.zip"), ZIP_ER_EXISTS);
    EXPECT_EQ(install_error_count(), 0);
    EXPECT_FALSE(fs::exists("twice.txt"));
    EXPECT_FALSE(fs::exists("other.txt"));
}

// Windows reads both separators, so an archive written with backslashes (by
// PowerShell, say) lands alike everywhere; UTF-8 names keep their letters.
TEST_F(InstallerTest, BackslashesSeparateAndNamesKeepTheirLetters) {
    ZipBuilder().add("conf\\", "").add("conf\\sub\\a.ini", "x")
        .add("\xC3\x9C" "ber Gr\xC3\xB6\xC3\x9F" "e/\xC3\x9F.txt", "u").write("p.zip");

    testing::internal::CaptureStdout();
    EXPECT_EQ(install_package("p.zip"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "a directory entry is no failure";
    EXPECT_EQ(install_error_count(), 0);
    EXPECT_EQ(read_file("conf/sub/a.ini"), "x");
    EXPECT_EQ(read_file(fs::path(u8"\u00DCber Gr\u00F6\u00DFe/\u00DF.txt")), "u");
    EXPECT_EQ(entries_in("."), 3) << "p.zip, conf and the folder: no name with a backslash";
}

TEST_F(InstallerTest, UnwritableTargetsAreReportedAndCountedWhileLaterEntriesAreWritten) {
    dir.make_directory("blocked.txt");  // a directory where a file should go
    dir.make_directory("docs");
    ZipBuilder()
        .add("first.txt", "1")
        .add("blocked.txt", "2")
        .add("docs/", "")
        .add("", "3")
        .add("later.txt", "4")
        .write("p.zip");

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int result = install_package("p.zip");
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(result, 0);
    EXPECT_EQ(install_error_count(), 2) << "the blocked file and the empty name, not the directory";
    // A target that cannot be replaced shows once every entry is written.
    EXPECT_EQ(out, "Error writing \nError writing blocked.txt\n");
    EXPECT_EQ(temporaries_under("."), 0);
    EXPECT_EQ(err.rfind("-> Error opening file for writing: ", 0), 0u) << err;
    EXPECT_EQ(read_file("first.txt"), "1");
    EXPECT_EQ(read_file("later.txt"), "4");

    // The count belongs to the last call only.
    ZipBuilder().add("fine.txt", "ok").write("q.zip");
    EXPECT_EQ(install_package("q.zip"), 0);
    EXPECT_EQ(install_error_count(), 0);
}

TEST_F(InstallerTest, ArchivesThatCannotBeOpenedReturnTheLibraryErrorAndWriteNothing) {
    dir.make_directory("blocked.txt");
    ZipBuilder().add("blocked.txt", "x").write("bad.zip");
    ASSERT_EQ(install_package("bad.zip"), 0);
    ASSERT_EQ(install_error_count(), 1);

    EXPECT_NE(install_package("missing.zip"), 0);
    EXPECT_EQ(install_error_count(), 0) << "reset also when the archive cannot be opened";

    ZipBuilder::write_file("page.zip", "<html><body>404 Not Found</body></html>\n");
    EXPECT_EQ(install_package("page.zip"), ZIP_ER_NOZIP);
    EXPECT_EQ(install_error_count(), 0);

    // The archive library refuses an empty file as an archive.
    ZipBuilder::write_file("empty.zip", "");
    EXPECT_EQ(install_package("empty.zip"), ZIP_ER_NOZIP);
    EXPECT_EQ(install_error_count(), 0);

    EXPECT_EQ(entries_in("."), 4) << "only the three archives and the directory";
}

TEST_F(InstallerTest, DamagedDeflateDataNeitherWritesNorTruncatesButIsCountedAndSaid) {
    std::string text;
    for (int i = 0; i < 4000; ++i) text += "line " + std::to_string(i) + " of the package\n";
    write_deflated("old.zip", "old.txt", text);
    damage_first_entry("old.zip");
    write_deflated("new.zip", "new.txt", text);
    damage_first_entry("new.zip");
    ZipBuilder::write_file("old.txt", "installed before");

    testing::internal::CaptureStdout();
    EXPECT_EQ(install_package("old.zip"), 0);
    EXPECT_EQ(install_error_count(), 1);
    EXPECT_EQ(read_file("old.txt"), "installed before");
    EXPECT_EQ(install_package("new.zip"), 0);
    EXPECT_EQ(install_error_count(), 1);
    EXPECT_FALSE(fs::exists("new.txt"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error reading old.txt\nError reading new.txt\n");
}

TEST_F(InstallerTest, EntryLongerThanTheWorkBufferIsInstalledWhole) {
    const std::string data = random_bytes(40u << 20, 7);
    ZipBuilder().add("big/data.bin", data).add("after.txt", "after").write("p.zip");

    EXPECT_EQ(install_package("p.zip"), 0);
    EXPECT_EQ(install_error_count(), 0);
    ASSERT_EQ(fs::file_size("big/data.bin"), data.size());
    EXPECT_TRUE(read_file("big/data.bin") == data);
    EXPECT_EQ(read_file("after.txt"), "after");
}

TEST_F(InstallerTest, LongEntryDamagedAfterTheFirstPieceIsCounted) {
    std::string archive = ZipBuilder().add("big.bin", random_bytes(40u << 20, 9)).bytes();
    archive[30 + 7 + (30u << 20)] ^= 0x01;  // inside the second piece; the CRC no longer matches
    ZipBuilder::write_file("p.zip", archive);
    ZipBuilder::write_file("big.bin", "installed before");

    EXPECT_EQ(install_package("p.zip"), 0);
    EXPECT_EQ(install_error_count(), 1) << "a truncated file must not pass for installed";
    EXPECT_EQ(read_file("big.bin"), "installed before");
    EXPECT_EQ(temporaries_under("."), 0);
}

TEST_F(InstallerTest, UnsafeNamesAreRefusedAndNothingIsWrittenOutsideTheRoot) {
    dir.make_directory("root");
    fs::current_path(dir.path() / "root");
    const std::string absolute = (dir.path() / "absolute.txt").generic_string();
    const char* unsafe[] = {"../up.txt",         "..\\up2.txt",      "sub/../../up3.txt",
                            "sub\\..\\..\\up4.txt", "x/..",           "\\rooted.txt",
                            "C:drive.txt",       "c:/drive2.txt",    "name:stream",
                            // the installer's own names beside a target, as Windows reads them
                            "ok/..dots/file.txt.orvane-new", "x.ORVANE-OLD1. ", "y.orvane-old"};
    ZipBuilder builder;
    builder.add(absolute, "abs");
    for (const char* name : unsafe) builder.add(name, "bad");
    builder.add("ok/..dots/file.txt", "fine");
    // Other names of that file: all but the first are refused, so it installs.
    const char* aliases[] = {"ok\\..dots\\file.txt", "ok/./..dots//file.txt"};
    for (const char* name : aliases) builder.add(name, "alias");
    if (file_names_fold_case) builder.add("OK/..DOTS/FILE.TXT. ", "alias");
    builder.write("p.zip");

    testing::internal::CaptureStdout();
    int result = install_package("p.zip");
    std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(result, 0);
    EXPECT_EQ(install_error_count(), 0) << "no retry could install them";
    std::string expected = "Refused unsafe entry " + absolute + "\n";
    for (const char* name : unsafe) expected += std::string("Refused unsafe entry ") + name + "\n";
    for (const char* name : aliases) expected += std::string("Refused unsafe entry ") + name + "\n";
    if (file_names_fold_case) expected += "Refused unsafe entry OK/..DOTS/FILE.TXT. \n";
    EXPECT_EQ(out, expected);
    EXPECT_EQ(read_file("ok/..dots/file.txt"), "fine");

    EXPECT_EQ(entries_in(dir.path()), 1) << "only the root itself";
    EXPECT_EQ(entries_in("."), 2) << "p.zip and ok: no directory made for a refused entry";
}

// A retry in the same pass writes what failed: a file changed since the
// attempt before, which the archive also holds, is neither read nor written.
TEST_F(InstallerTest, ARetryWritesOnlyTheEntriesThatFailed) {
    dir.make_directory("b.txt.orvane-new");  // the write beside b fails
    ZipBuilder().add("a.txt", "a").add("b.txt", "b").write("p.zip");
    ASSERT_EQ(install_package("p.zip") + install_error_count(), 1);
    fs::remove("b.txt.orvane-new");
    ZipBuilder::write_file("a.txt", "changed since");
    ASSERT_EQ(install_package_again("p.zip") + install_error_count(), 0);
    EXPECT_EQ(read_file("a.txt") + read_file("b.txt"), "changed sinceb");
    ASSERT_EQ(install_package("p.zip"), 0);  // a new installation reads the tree again
    EXPECT_EQ(read_file("a.txt"), "a");
}

TEST_F(InstallerTest, PathsTooLongForTheDirectoryBufferAreCountedWithoutDirectories) {
    std::string name;
    while (name.size() < 8192) name += "d/";
    name += "file.txt";
    ZipBuilder().add(name, "x").add("after.txt", "after").write("p.zip");

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int result = install_package("p.zip");
    std::string out = testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();

    EXPECT_EQ(result, 0);
    EXPECT_EQ(install_error_count(), 1);
    EXPECT_EQ(out, "Error writing " + name + "\n");
    EXPECT_FALSE(fs::exists("d"));
    EXPECT_EQ(read_file("after.txt"), "after");

    make_parent_dirs(name.c_str());
    EXPECT_FALSE(fs::exists("d"));
}
