// Extraction of a package archive over the install tree (the current directory).
#include "update/installer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include <zip.h>

#include "platform/win32.h"
#include "report/report.h"
#include "transfer/disk_space.h"
#include "update/install_ahead.h"
#include "update/install_aside.h"
#include "update/install_names.h"
#include "update/install_unchanged.h"
#include "update/updater_trial.h"

namespace {
// One entry's content at a time; longer entries pass through it in pieces.
constexpr zip_uint64_t work_buffer_size = 25165824;

int install_errors = 0;

// What the last installation left to do, for the retries of the same pass:
// the entries that failed, or the whole archive when what failed was no one
// entry's (the disk flush after the renames, an archive not opened).
struct InstallLeft {
    std::string archive;
    std::vector<int> entries;
    bool whole = true;
};
InstallLeft install_left;

// An archive with two entries of one name has no one content for that file;
// the archive library opens it (its stricter checks would also refuse valid
// archives of common tools), so the installer refuses it before writing.
bool install_names_repeat(zip_t* archive, int entries) {
    for (int index = 0; index < entries; ++index) {
        const char* name = zip_get_name(archive, index, 0);
        if (name != nullptr && zip_name_locate(archive, name, 0) != index) return true;
    }
    return false;
}

// Fills buffer from the entry until it is full or the entry ends. Returns the
// bytes held, or -1 on a read or decompression error.
zip_int64_t install_read_piece(zip_file_t* entry, char* buffer) {
    zip_uint64_t held = 0;
    while (held < work_buffer_size) {
        zip_int64_t n = zip_fread(entry, buffer + held, work_buffer_size - held);
        if (n < 0) return -1;
        if (n == 0) break;
        held += static_cast<zip_uint64_t>(n);
    }
    return static_cast<zip_int64_t>(held);
}

// An entry that cannot be written whole is a failed entry: said and counted.
void install_write_failed(const char* name) {
    std::printf("Error writing %s\n", name);
    std::fflush(stdout);
    std::perror("-> Error opening file for writing");
    ++install_errors;
}

// A new updater that failed its trial would leave this machine without one;
// reason says which check it failed.
void install_trial_failed(const char* name, const char* reason) {
    std::printf("Error writing %s\n-> %s\n", name, reason);
    std::fflush(stdout);
    ++install_errors;
}

// An entry whose data cannot be had is a failed entry: whatever stands under
// its name is not what the package holds.
void install_read_failed(const char* name) {
    std::printf("Error reading %s\n", name);
    std::fflush(stdout);
    ++install_errors;
}

// Writes one opened entry to its temporary file beside the target, its data
// on the way to the disk. False, with nothing left behind, for an entry that
// could not be read or written whole.
bool install_entry(zip_file_t* entry, const char* name, const char* path, char* buffer,
                   zip_uint64_t declared) {
    zip_int64_t length = install_read_piece(entry, buffer);
    // More than the entry declares is not its content, and was not counted
    // when the room for the installation was checked.
    zip_uint64_t total = length < 0 ? 0 : static_cast<zip_uint64_t>(length);
    if (length < 0 || total > declared) {
        install_read_failed(name);
        return false;
    }
    wchar_t target[prefix_buffer_size];
    wchar_t temporary[temporary_buffer_size];
    std::FILE* file = install_wide_names(path, target, temporary) ? _wfopen(temporary, L"wb") : nullptr;
    if (file == nullptr) {
        install_write_failed(name);
        return false;
    }
    bool written = true;
    bool read = true;
    for (;;) {
        if (std::fwrite(buffer, 1, static_cast<std::size_t>(length), file) !=
            static_cast<std::size_t>(length)) {
            written = false;
            break;
        }
        if (static_cast<zip_uint64_t>(length) < work_buffer_size) break;
        length = install_read_piece(entry, buffer);
        total += length < 0 ? 0 : static_cast<zip_uint64_t>(length);
        if (length < 0 || total > declared) {
            read = false;
            break;
        }
        if (length == 0) break;
    }
    // Less than the entry declares is not its content either: its data ended early.
    if (written && total != declared) read = false;
    if (!install_temporary_close(file, target)) written = false;
    // The updater's own file is run once before it may take the place of
    // the running one; the file has the target's permission bits by now.
    const char* refused = read && written && updater_own_file(path) ? updater_trial_run(temporary)
                                                                     : nullptr;
    if (refused != nullptr) {
        _wunlink(temporary);
        install_trial_failed(name, refused);
        return false;
    }
    if (read && written) return true;
    int error = errno;
    _wunlink(temporary);
    errno = error;
    if (!read) {
        install_read_failed(name);
    } else {
        install_write_failed(name);
    }
    return false;
}

// An entry's size as the archive's directory declares it; 0 when it does not.
zip_uint64_t install_declared_size(zip_t* archive, int index) {
    zip_stat_t stat;
    return zip_stat_index(archive, index, 0, &stat) == 0 && (stat.valid & ZIP_STAT_SIZE) != 0
               ? stat.size
               : 0;
}

// The path of an entry the installer writes as a file: named, safe, short
// enough for the directory buffer, and no folder. Entries it is not are
// said, or passed over, where they are installed.
bool install_file_entry(zip_t* archive, zip_uint64_t index, char* path) {
    const char* name = zip_get_name(archive, index, 0);
    if (name == nullptr || install_name_unsafe(name) || std::strlen(name) >= prefix_buffer_size)
        return false;
    install_path_of(name, path);
    return path[0] == '\0' || path[std::strlen(path) - 1] != '/';
}

// Entries that name the file an earlier entry names ("t/x.txt", "t\\x.txt",
// "t/./x.txt"; on Windows also "README" and "readme"): both would be written
// beside one target, so one of them would fail at every attempt. Every one
// after the first is refused, as an unsafe name is, and the rest installs.
std::vector<char> install_aliases(zip_t* archive, int entries) {
    std::vector<char> alias(static_cast<std::size_t>(entries), 0);
    std::vector<std::pair<std::wstring, int>> keys;
    for (int index = 0; index < entries; ++index) {
        char path[prefix_buffer_size];
        wchar_t wide[prefix_buffer_size];
        if (install_file_entry(archive, index, path) && path[0] != '\0' && install_wide_name(path, wide))
            keys.emplace_back(install_file_key(wide), index);
    }
    const InstallFileKeyOrder order;
    // Stable: of the entries of one file, the first in the archive comes first.
    std::stable_sort(keys.begin(), keys.end(),
                     [&](const auto& a, const auto& b) { return order(a.first, b.first); });
    for (std::size_t i = 1; i < keys.size(); ++i) {
        if (!order(keys[i - 1].first, keys[i].first))
            alias[static_cast<std::size_t>(keys[i].second)] = 1;
    }
    return alias;
}

// Of the entries wanted, those an installation writes: all but those refused,
// folders, and (when read_installed) those whose installed file already holds
// their content, which are no longer wanted. Returns the bytes they declare,
// but for those written ahead, which are on the disk already.
std::uint64_t install_plan(zip_t* archive, char* buffer, const std::vector<char>& refused,
                           const std::vector<char>& ahead, bool read_installed,
                           std::vector<char>* wanted) {
    std::uint64_t bytes = 0;
    for (std::size_t index = 0; index < wanted->size(); ++index) {
        zip_stat_t stat;
        char path[prefix_buffer_size];
        if ((*wanted)[index] == 0 || refused[index] != 0 || ahead[index] != 0 ||
            !install_file_entry(archive, static_cast<zip_uint64_t>(index), path) ||
            zip_stat_index(archive, static_cast<zip_uint64_t>(index), 0, &stat) != 0)
            continue;
        wchar_t target[prefix_buffer_size];
        const zip_uint64_t size = (stat.valid & ZIP_STAT_SIZE) != 0 ? stat.size : 0;
        if (read_installed && path[0] != '\0' && (stat.valid & ZIP_STAT_CRC) != 0 &&
            install_wide_name(path, target) &&
            install_unchanged(target, size, stat.crc, buffer, work_buffer_size)) {
            (*wanted)[index] = 0;
            continue;
        }
        // Declared sizes beyond any disk add up to the most, never wrap to room.
        bytes = size > INT64_MAX - bytes ? INT64_MAX : bytes + size;
    }
    return bytes;
}

// The entries of this archive written ahead while it arrived (1); those
// refused are not taken. What was written ahead for no entry of it is removed
// before anything is written.
std::vector<char> install_take_ahead(zip_t* archive, const std::vector<char>& refused) {
    std::vector<char> ahead(refused.size(), 0);
    constexpr zip_uint64_t needed =
        ZIP_STAT_NAME | ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_CRC | ZIP_STAT_COMP_METHOD;
    for (std::size_t index = 0; index < refused.size(); ++index) {
        zip_stat_t stat;
        if (refused[index] == 0 && zip_stat_index(archive, index, 0, &stat) == 0 &&
            (stat.valid & needed) == needed &&
            install_ahead_take(stat.name, stat.crc, stat.size, stat.comp_size, stat.comp_method))
            ahead[index] = 1;
    }
    install_ahead_discard();
    return ahead;
}

// Puts every written entry in its target's place once all of them are on
// disk, so that the disk after a power cut, like any reader, holds each file
// old or new and never a mixture; then makes the renames durable, so that
// what the caller records after this call is installed. A running program is set
// aside on Windows; a target that cannot be replaced even so (a data file
// held open) is a failed entry.
void install_replace_targets(zip_t* archive, const std::vector<int>& written) {
    if (written.empty()) return;
    const bool on_disk = file_flush_volume(".") == 0;
    int flush_error = errno;
    bool replaced = false;
    for (int index : written) {
        const char* name = zip_get_name(archive, index, 0);
        char path[prefix_buffer_size];
        install_path_of(name, path);
        wchar_t target[prefix_buffer_size];
        wchar_t temporary[temporary_buffer_size];
        install_wide_names(path, target, temporary);
        if (on_disk && install_put_in_place(path, temporary, target)) {
            replaced = true;
            if (updater_own_file(path)) updater_mark_replaced();
            continue;
        }
        int error = on_disk ? errno : flush_error;
        _wunlink(temporary);
        errno = error;
        install_write_failed(name);
        install_left.entries.push_back(index);
    }
    if (replaced && file_flush_volume(".") != 0) {
        std::printf("Error writing the installed files to disk\n");
        std::fflush(stdout);
        ++install_errors;
        install_left.whole = true;
    }
}
}  // namespace

int install_error_count() { return install_errors; }

void make_parent_dirs(const char* path, std::vector<std::string>* made) {
    if (std::strlen(path) >= prefix_buffer_size) return;
    char prefix[prefix_buffer_size];
    wchar_t wide[prefix_buffer_size];
    std::size_t length = 0;
    prefix[0] = '\0';
    for (const char* p = path; *p != '\0'; ++p) {
        if (is_separator(*p) && length > 0 && install_wide_name(prefix, wide) &&
            _wmkdir(wide) == 0 && made != nullptr)
            made->emplace_back(prefix);
        prefix[length++] = *p;
        prefix[length] = '\0';
    }
}

namespace {

// The installation of the archive's wanted entries; with read_installed, an
// entry whose installed file holds its content already is left as it is.
int install_entries(const char* archive_path, std::vector<char> wanted, bool read_installed) {
    install_errors = 0;
    install_left = InstallLeft{archive_path, {}, false};
    int error = 0;
    zip_t* archive = zip_open(archive_path, 0, &error);
    if (archive == nullptr) {
        install_left.whole = true;
        return error;
    }
    int entries = zip_get_num_files(archive);
    if (install_names_repeat(archive, entries)) {
        zip_close(archive);
        install_left.whole = true;
        return ZIP_ER_EXISTS;
    }

    char* buffer = static_cast<char*>(std::malloc(work_buffer_size));
    if (buffer == nullptr) {
        // Not an installation: the caller must not take it for a clean one.
        zip_close(archive);
        install_left.whole = true;
        return ZIP_ER_MEMORY;
    }

    // Every entry is written beside its target before any takes its place,
    // so the new files need room all at once: checked before anything is
    // written or a folder made. No room is one failed entry, so the package
    // file stays and the installation is tried again once there is.
    wanted.resize(static_cast<std::size_t>(entries), read_installed ? 1 : 0);
    const std::vector<char> aliases = install_aliases(archive, entries);
    const std::vector<char> ahead = install_take_ahead(archive, aliases);
    const std::uint64_t bytes =
        install_plan(archive, buffer, aliases, ahead, read_installed, &wanted);
    if (!disk_space_enough(L".", static_cast<std::int64_t>(bytes),
                           "Not enough disk space to install %s (%d MiB needed, %d MiB free).",
                           archive_path, report)) {
        ++install_errors;
        for (int index = 0; index < entries; ++index) {
            if (wanted[static_cast<std::size_t>(index)] != 0) install_left.entries.push_back(index);
            if (ahead[static_cast<std::size_t>(index)] != 0) {
                char path[prefix_buffer_size];
                install_path_of(zip_get_name(archive, index, 0), path);
                install_remove_temporary(path);
            }
        }
        entries = 0;  // nothing is written
    }

    std::vector<int> written;
    for (int index = 0; index < entries; ++index) {
        const char* name = zip_get_name(archive, index, 0);
        if (name == nullptr || wanted[static_cast<std::size_t>(index)] == 0) continue;
        if (install_name_unsafe(name) || aliases[static_cast<std::size_t>(index)] != 0) {
            std::printf("Refused unsafe entry %s\n", name);
            continue;
        }
        const std::size_t failures = static_cast<std::size_t>(install_errors);
        if (std::strlen(name) >= prefix_buffer_size) {
            errno = ENAMETOOLONG;
            install_write_failed(name);
        } else {
            char path[prefix_buffer_size];
            install_path_of(name, path);
            make_parent_dirs(path);
            // A directory entry: its directory was made with the parents.
            if (path[0] != '\0' && path[std::strlen(path) - 1] == '/') continue;
            if (ahead[static_cast<std::size_t>(index)] != 0) {
                written.push_back(index);
                continue;
            }
            zip_file_t* entry = zip_fopen_index(archive, index, 0);
            if (entry == nullptr) {
                install_read_failed(name);
            } else {
                if (install_entry(entry, name, path, buffer, install_declared_size(archive, index)))
                    written.push_back(index);
                zip_fclose(entry);
            }
        }
        if (static_cast<std::size_t>(install_errors) != failures) install_left.entries.push_back(index);
    }
    install_replace_targets(archive, written);

    std::free(buffer);
    zip_close(archive);
    return error;
}

}  // namespace

int install_package(const char* archive_path) { return install_entries(archive_path, {}, true); }

int install_package_again(const char* archive_path) {
    if (install_left.whole || install_left.archive != archive_path)
        return install_package(archive_path);
    // The entries written at the attempt before are in place and were read
    // then: only those that failed are tried again, and nothing is read.
    std::vector<char> wanted;
    for (int index : install_left.entries) {
        if (wanted.size() <= static_cast<std::size_t>(index)) wanted.resize(index + 1, 0);
        wanted[static_cast<std::size_t>(index)] = 1;
    }
    return install_entries(archive_path, std::move(wanted), false);
}
