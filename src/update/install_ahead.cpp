// Entries written ahead: the archive is read in the order it arrives, local
// header by local header, by a thread of its own while the download goes on,
// so that the inflating and writing of the entries overlaps the transfer.
#include "update/install_ahead.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <zlib.h>

#include "platform/win32.h"
#include "transfer/delta_directory.h"
#include "transfer/disk_space.h"
#include "transfer/download_watch.h"
#include "update/install_names.h"
#include "update/install_unchanged.h"
#include "update/installer.h"
#include "update/updater_trial.h"

namespace {

constexpr std::size_t input_size = 262144;
constexpr std::size_t output_size = 262144;
// Encrypted, sizes only after the data, strongly encrypted: the installer's.
constexpr unsigned flags_not_taken = 0x0001 | 0x0008 | 0x0040;
constexpr std::int64_t downloading = -2;
constexpr std::int64_t given_up = -1;

struct AheadNote {
    std::string path;  // the target's, as the installer writes it
    std::uint32_t crc;
    std::uint64_t size;
    std::uint64_t compressed;
    int method;
    bool taken;
};

struct Follower {
    std::string part;
    HANDLE thread = nullptr;
    // The file's length once the download has ended whole; given_up to stop.
    std::atomic<std::int64_t> final{downloading};
    std::map<std::string, AheadNote> notes;  // by entry name
    // The files an entry was met for, told apart as the file system does.
    std::set<std::wstring, InstallFileKeyOrder> files;
    std::vector<std::string> folders;  // made here, in the order made
    // The temporaries and folders made here, on disk as they are made, so
    // that a pass killed meanwhile leaves nothing the next one does not find.
    std::string ledger_path;
    std::FILE* ledger = nullptr;
    std::FILE* file = nullptr;
    std::vector<unsigned char> input;
    std::size_t begin = 0;    // input[begin, end) is held, unread
    std::size_t end = 0;
    std::int64_t offset = 0;  // the file offset of input[end]
};

DownloadWatch watch;
Follower follower;

int silent(int, int, const char*) { return 0; }

// The bytes of the file that may be read now; -1 when no more will be (or
// the file started again from its first byte under the follower).
std::int64_t readable(const Follower& f) {
    const std::int64_t length = f.final.load();
    if (length == given_up || watch.starts.load() != 1) return -1;
    return length >= 0 ? length : watch.on_file.load(std::memory_order_acquire);
}

// Reads on into the input; waits while the download has written no more.
// False when nothing more will come.
bool read_more(Follower& f) {
    if (f.begin > 0) {
        std::memmove(f.input.data(), f.input.data() + f.begin, f.end - f.begin);
        f.end -= f.begin;
        f.begin = 0;
    }
    for (;;) {
        const std::int64_t limit = readable(f);
        if (limit < 0) return false;
        if (limit > f.offset) {
            const std::int64_t left = limit - f.offset;
            const std::size_t room = f.input.size() - f.end;
            const std::size_t want =
                left < static_cast<std::int64_t>(room) ? static_cast<std::size_t>(left) : room;
            std::clearerr(f.file);
            const std::size_t n = std::fread(f.input.data() + f.end, 1, want, f.file);
            if (n == 0) return false;
            f.end += n;
            f.offset += static_cast<std::int64_t>(n);
            // What was read came from the file as this download writes it.
            return readable(f) >= 0;
        }
        if (f.final.load() >= 0) return false;  // all of it read
        Sleep(1);
    }
}

bool need(Follower& f, std::size_t n) {
    while (f.end - f.begin < n) {
        if (f.end - f.begin >= f.input.size() || !read_more(f)) return false;
    }
    return true;
}

// Hands the next `length` bytes of the file to take (data, n), piece by piece,
// until take returns false, and passes over the rest. False when the file
// ended first.
template <typename Take>
bool pass_data(Follower& f, std::uint64_t length, Take&& take) {
    bool taking = true;
    while (length > 0) {
        if (f.end == f.begin && !read_more(f)) return false;
        std::size_t n = f.end - f.begin;
        if (n > length) n = static_cast<std::size_t>(length);
        if (taking) taking = take(f.input.data() + f.begin, n);
        f.begin += n;
        length -= n;
    }
    return true;
}

bool pass_over(Follower& f, std::uint64_t length) {
    return pass_data(f, length, [](const unsigned char*, std::size_t) { return true; });
}

// Notes a path in the ledger: 'T' a target whose temporary is about to be
// made, 'F' a folder once made (so that none made by others is removed).
bool ledger_note(Follower& f, char kind, const std::string& path) {
    if (f.ledger == nullptr) f.ledger = std::fopen(f.ledger_path.c_str(), "wb");
    return f.ledger != nullptr && std::fprintf(f.ledger, "%c%s\n", kind, path.c_str()) > 0 &&
           std::fflush(f.ledger) == 0;
}

// Removes the folders that are empty, the last made first: those that an
// installation wrote into, or that hold anything else, stay.
void remove_folders(const std::vector<std::string>& folders) {
    wchar_t wide[prefix_buffer_size];
    for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
        if (install_wide_name(folder->c_str(), wide)) _wrmdir(wide);
    }
}

// Removes what a ledger names, then the ledger.
void ledger_sweep(const std::string& ledger_path) {
    std::FILE* ledger = std::fopen(ledger_path.c_str(), "rb");
    if (ledger == nullptr) return;
    std::vector<std::string> folders;
    char line[prefix_buffer_size + 2];
    while (std::fgets(line, sizeof line, ledger) != nullptr) {
        const std::size_t length = std::strcspn(line, "\n");
        if (line[length] != '\n') break;  // not a line this pass wrote whole
        line[length] = '\0';
        if (line[0] == 'T') install_remove_temporary(line + 1);
        if (line[0] == 'F') folders.emplace_back(line + 1);
    }
    std::fclose(ledger);
    remove_folders(folders);
    _unlink(ledger_path.c_str());
}

// Writes the entry's data (the next `compressed` bytes) into temporary.
// Returns 1 when it holds the entry whole, 0 when the entry was not written
// (no temporary is left), -1 when the file ended first.
int write_entry(Follower& f, const wchar_t* target, const wchar_t* temporary, int method,
                std::uint32_t crc, std::uint64_t size, std::uint64_t compressed,
                unsigned char* output, z_stream* stream) {
    std::FILE* file = _wfopen(temporary, L"wb");
    if (file == nullptr) return pass_over(f, compressed) ? 0 : -1;
    std::setvbuf(file, nullptr, _IONBF, 0);
    uLong sum = crc32(0L, Z_NULL, 0);
    std::uint64_t total = 0;
    auto put = [&](const unsigned char* data, std::size_t n) {
        total += n;
        if (total > size) return false;
        sum = crc32_z(sum, data, n);
        return std::fwrite(data, 1, n, file) == n;
    };
    // Inflates the piece held, and what zlib holds back while its output fills.
    bool inflated = method == 0;
    auto inflate_held = [&]() {
        for (;;) {
            stream->next_out = output;
            stream->avail_out = static_cast<uInt>(output_size);
            const int status = inflate(stream, Z_NO_FLUSH);
            if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) return false;
            if (!put(output, output_size - stream->avail_out) || f.final.load() == given_up)
                return false;
            // Nothing may follow the end of the deflated data within the entry.
            if (status == Z_STREAM_END) {
                inflated = true;
                return stream->avail_in == 0;
            }
            if (stream->avail_out != 0) return true;  // the piece is taken
        }
    };
    if (method != 0) {
        inflateReset(stream);
        // What an earlier entry left unread is not this entry's.
        stream->next_in = Z_NULL;
        stream->avail_in = 0;
    }
    bool good = true;
    const bool arrived = pass_data(f, compressed, [&](const unsigned char* data, std::size_t n) {
        if (method == 0) return good = put(data, n);
        stream->next_in = const_cast<unsigned char*>(data);
        stream->avail_in = static_cast<uInt>(n);
        return good = inflate_held();
    });
    good = install_temporary_close(file, target) && good && arrived && inflated && total == size &&
           sum == crc;
    if (good) return 1;
    _wunlink(temporary);
    return arrived ? 0 : -1;
}

// Follows the file entry by entry until its local headers end (the archive's
// directory) or something is met that only the installer takes.
void follow(Follower& f) {
    while (watch.starts.load() == 0) {
        if (f.final.load() != downloading) return;
        Sleep(1);
    }
    // The download removes its file whenever it gives up, follower or not.
    f.file = file_open_shared(f.part.c_str());
    if (f.file == nullptr) return;
    std::setvbuf(f.file, nullptr, _IONBF, 0);
    f.input.resize(input_size);
    std::vector<unsigned char> output(output_size);
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) {
        std::fclose(f.file);
        return;
    }
    for (;;) {
        DeltaEntry local{};
        std::size_t name_length = 0;
        std::size_t extra_length = 0;
        if (!need(f, delta_local_header_size) ||
            !delta_local_header(f.input.data() + f.begin, &local, &name_length, &extra_length) ||
            (local.flags & flags_not_taken) != 0 || local.compressed == 0xFFFFFFFF ||
            local.uncompressed == 0xFFFFFFFF ||
            !need(f, delta_local_header_size + name_length + extra_length))
            break;
        const char* named = reinterpret_cast<const char*>(f.input.data() + f.begin);
        const std::string name(named + delta_local_header_size, name_length);
        f.begin += delta_local_header_size + name_length + extra_length;
        const int method = local.method;
        const auto compressed = static_cast<std::uint64_t>(local.compressed);
        const auto size = static_cast<std::uint64_t>(local.uncompressed);

        char path[prefix_buffer_size];
        wchar_t target[prefix_buffer_size];
        wchar_t temporary[temporary_buffer_size];
        bool take = ((method == 8 && compressed > 0) || (method == 0 && compressed == size)) &&
                    !name.empty() && name.size() < prefix_buffer_size &&
                    name.find('\0') == std::string::npos && !install_name_unsafe(name.c_str());
        if (take) {
            install_path_of(name.c_str(), path);
            // Folders are made with their files; the new updater is tried
            // by the installer before it is taken.
            take = path[std::strlen(path) - 1] != '/' && !updater_own_file(path) &&
                   install_wide_names(path, target, temporary) &&
                   f.files.insert(install_file_key(target)).second;
        }
        // A file that holds its entry already is left to the installer, which
        // reads it again when it installs: it may change before then.
        if (take && install_unchanged(target, size, local.crc,
                                      reinterpret_cast<char*>(output.data()), output_size)) {
            take = false;
        } else if (take) {
            // Room for the entry and for the rest of the download beside it.
            const std::int64_t expected = watch.expected.load();
            const std::int64_t rest = expected - watch.on_file.load();
            const std::int64_t bytes = static_cast<std::int64_t>(size) + (rest > 0 ? rest : 0);
            take = expected > 0 && disk_space_enough(L".", bytes, "%s", name.c_str(), silent);
        }
        if (!take) {
            if (!pass_over(f, compressed)) break;
            continue;
        }
        if (!ledger_note(f, 'T', path)) break;
        const std::size_t made = f.folders.size();
        make_parent_dirs(path, &f.folders);
        for (std::size_t k = made; k < f.folders.size(); ++k) ledger_note(f, 'F', f.folders[k]);
        const int written = write_entry(f, target, temporary, method, local.crc, size, compressed,
                                        output.data(), &stream);
        if (written < 0) break;
        if (written > 0)
            f.notes.emplace(name, AheadNote{path, local.crc, size, compressed, method, false});
    }
    inflateEnd(&stream);
    std::fclose(f.file);
    f.file = nullptr;
    if (f.ledger != nullptr) std::fclose(f.ledger);
    f.ledger = nullptr;
}

DWORD WINAPI follow_thread(LPVOID) {
    follow(follower);
    return 0;
}

}  // namespace

DownloadWatch* install_ahead_start(const char* part_path) {
    install_ahead_discard();
    follower.ledger_path = std::string(part_path) + ".ahead";
    ledger_sweep(follower.ledger_path);
    watch.starts.store(0);
    watch.on_file.store(0);
    watch.expected.store(0);
    follower.part = part_path;
    follower.final.store(downloading);
    follower.begin = follower.end = 0;
    follower.offset = 0;
    follower.thread = CreateThread(nullptr, 0, follow_thread, nullptr, 0, nullptr);
    return &watch;
}

void install_ahead_end() {
    if (follower.thread != nullptr) follower.final.store(watch.on_file.load());
}

void install_ahead_wait() {
    if (follower.thread == nullptr) return;
    WaitForSingleObject(follower.thread, INFINITE);
    CloseHandle(follower.thread);
    follower.thread = nullptr;
    if (follower.final.load() < 0 || watch.starts.load() != 1) install_ahead_discard();
}

void install_ahead_discard() {
    if (follower.thread != nullptr) {
        follower.final.store(given_up);
        install_ahead_wait();
    }
    for (const auto& [name, note] : follower.notes) {
        if (!note.taken) install_remove_temporary(note.path.c_str());
    }
    remove_folders(follower.folders);
    follower.notes.clear();
    follower.files.clear();
    follower.folders.clear();
    if (!follower.ledger_path.empty()) _unlink(follower.ledger_path.c_str());
    follower.input.clear();
    follower.input.shrink_to_fit();
}

bool install_ahead_take(const char* name, std::uint32_t crc, std::uint64_t size,
                        std::uint64_t compressed, int method) {
    const auto found = follower.notes.find(name);
    if (found == follower.notes.end()) return false;
    AheadNote& note = found->second;
    if (note.taken || note.crc != crc || note.size != size || note.compressed != compressed ||
        note.method != method)
        return false;
    note.taken = true;
    return true;
}
