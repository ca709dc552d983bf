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
#include "transfer/disk_space.h"
#include "transfer/download_watch.h"
#include "update/install_names.h"
#include "update/install_unchanged.h"
#include "update/updater_trial.h"

namespace {

constexpr std::size_t input_size = 262144;
constexpr std::size_t output_size = 262144;
constexpr std::uint32_t local_header_signature = 0x04034b50;
constexpr std::size_t local_header_size = 30;
// Encrypted, sizes only after the data, strongly encrypted: the installer's.
constexpr unsigned flags_not_taken = 0x0001 | 0x0008 | 0x0040;
constexpr std::int64_t downloading = -2;
constexpr std::int64_t given_up = -1;

struct AheadNote {
    std::string name;
    std::wstring temporary;
    std::uint32_t crc;
    std::uint64_t size;
    std::uint64_t compressed;
    int method;
    bool taken;
};

struct FileKeyOrder {
    bool operator()(const std::wstring& a, const std::wstring& b) const {
        return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                    static_cast<int>(b.size()), file_names_fold_case) ==
               CSTR_LESS_THAN;
    }
};

struct Follower {
    std::string part;
    HANDLE thread = nullptr;
    // The file's length once the download has ended whole; given_up to stop.
    std::atomic<std::int64_t> final{downloading};
    unsigned generation = 0;
    bool lost = false;  // the file started again under the follower
    std::vector<AheadNote> notes;
    std::map<std::string, std::size_t> by_name;  // the notes' indexes
    // The files an entry was met for, told apart as the file system does.
    std::set<std::wstring, FileKeyOrder> files;
    std::vector<std::wstring> folders;           // made here, in the order made
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

std::uint32_t le16(const unsigned char* p) { return p[0] | (p[1] << 8); }
std::uint32_t le32(const unsigned char* p) {
    return le16(p) | (static_cast<std::uint32_t>(le16(p + 2)) << 16);
}

int silent(int, int, const char*) { return 0; }

void note(Follower& f, AheadNote&& taken) {
    f.by_name.emplace(taken.name, f.notes.size());
    f.notes.push_back(std::move(taken));
}

// The bytes of the file that may be read now; -1 when no more will be.
std::int64_t readable(Follower& f) {
    const std::int64_t length = f.final.load();
    if (length == given_up) return -1;
    if (watch.starts.load() != f.generation) {
        f.lost = true;
        return -1;
    }
    return length >= 0 ? length : watch.on_file.load(std::memory_order_acquire);
}

// Reads on into the input; waits while the download has written no more.
// False when nothing more will come (or the file started again).
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

// Notes a path in the ledger: 'T' a file's temporary (before it is made),
// 'F' a folder (once made, so that none made by others is ever removed).
bool ledger_note(Follower& f, char kind, const std::string& path) {
    if (f.ledger == nullptr) f.ledger = std::fopen(f.ledger_path.c_str(), "wb");
    return f.ledger != nullptr && std::fprintf(f.ledger, "%c%s\n", kind, path.c_str()) > 0 &&
           std::fflush(f.ledger) == 0;
}

// Removes what a ledger names: the temporaries, then the folders that are
// empty, the last made first; then the ledger.
void ledger_sweep(const std::string& ledger_path) {
    std::FILE* ledger = std::fopen(ledger_path.c_str(), "rb");
    if (ledger == nullptr) return;
    std::vector<std::wstring> folders;
    char line[prefix_buffer_size + 2];
    while (std::fgets(line, sizeof line, ledger) != nullptr) {
        const std::size_t length = std::strcspn(line, "\n");
        if (line[length] != '\n') break;  // not a line this pass wrote whole
        line[length] = '\0';
        wchar_t target[prefix_buffer_size];
        wchar_t temporary[temporary_buffer_size];
        if (line[0] == 'T' && install_wide_names(line + 1, target, temporary)) _wunlink(temporary);
        if (line[0] == 'F' && install_wide_name(line + 1, target)) folders.emplace_back(target);
    }
    std::fclose(ledger);
    for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder)
        _wrmdir(folder->c_str());
    _unlink(ledger_path.c_str());
}

// Makes the folders above path that are missing, as the installer would, and
// notes them: a download that is not installed leaves none behind.
void make_folders(Follower& f, const char* path) {
    std::string prefix;
    wchar_t wide[prefix_buffer_size];
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' && !prefix.empty() && install_wide_name(prefix.c_str(), wide) &&
            _wmkdir(wide) == 0) {
            f.folders.emplace_back(wide);
            ledger_note(f, 'F', prefix);
        }
        prefix += *p;
    }
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
    // Inflates what is held; with no input left, drains what zlib still holds.
    bool inflated = method == 0;
    auto inflate_held = [&]() {
        do {
            stream->next_out = output;
            stream->avail_out = static_cast<uInt>(output_size);
            const int status = inflate(stream, Z_NO_FLUSH);
            // No progress with nothing left to read: the rest is in the next piece.
            if (status == Z_BUF_ERROR && stream->avail_in == 0) return true;
            if (status != Z_OK && status != Z_STREAM_END) return false;
            const std::size_t n = output_size - stream->avail_out;
            if (!put(output, n) || f.final.load() == given_up) return false;
            inflated = status == Z_STREAM_END;
            if (n == 0 && !inflated) return stream->avail_in == 0;
        } while (!inflated && (stream->avail_in > 0 || stream->avail_out == 0));
        // Nothing may follow the end of the deflated data within the entry.
        return stream->avail_in == 0;
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
    if (good && arrived && !inflated) good = inflate_held();
    good = good && arrived && inflated && total == size && sum == crc && std::fflush(file) == 0 &&
           file_keep_attributes(_fileno(file), target) == 0 &&
           file_flush_deferred(_fileno(file)) == 0;
    if (std::fclose(file) != 0) good = false;
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
    f.generation = watch.starts.load();
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
        if (!need(f, local_header_size)) break;
        const unsigned char* header = f.input.data() + f.begin;
        if (le32(header) != local_header_signature) break;
        const unsigned flags = le16(header + 6);
        const int method = static_cast<int>(le16(header + 8));
        const std::uint32_t crc = le32(header + 14);
        const std::uint32_t compressed = le32(header + 18);
        const std::uint32_t size = le32(header + 22);
        const std::size_t name_length = le16(header + 26);
        const std::size_t extra_length = le16(header + 28);
        if ((flags & flags_not_taken) != 0 || compressed == 0xFFFFFFFF || size == 0xFFFFFFFF ||
            !need(f, local_header_size + name_length + extra_length))
            break;
        const char* named = reinterpret_cast<const char*>(f.input.data() + f.begin);
        std::string name(named + local_header_size, name_length);
        f.begin += local_header_size + name_length + extra_length;

        char path[prefix_buffer_size];
        wchar_t target[prefix_buffer_size];
        wchar_t temporary[temporary_buffer_size];
        bool take = ((method == 8 && compressed > 0) || (method == 0 && compressed == size)) &&
                    !name.empty() &&
                    name.size() < prefix_buffer_size && name.find('\0') == std::string::npos &&
                    !install_name_unsafe(name.c_str());
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
        if (take && install_unchanged(target, size, crc, reinterpret_cast<char*>(output.data()),
                                      output_size)) {
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
        make_folders(f, path);
        const int written = write_entry(f, target, temporary, method, crc, size, compressed,
                                        output.data(), &stream);
        if (written < 0) break;
        if (written > 0) note(f, AheadNote{name, temporary, crc, size, compressed, method, false});
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

DownloadWatch* install_ahead_watch() { return &watch; }

void install_ahead_start(const char* part_path) {
    install_ahead_discard();
    follower.ledger_path = std::string(part_path) + ".ahead";
    ledger_sweep(follower.ledger_path);
    watch.starts.store(0);
    watch.on_file.store(0);
    watch.expected.store(0);
    follower.part = part_path;
    follower.final.store(downloading);
    follower.generation = 0;
    follower.lost = false;
    follower.begin = follower.end = 0;
    follower.offset = 0;
    follower.thread = CreateThread(nullptr, 0, follow_thread, nullptr, 0, nullptr);
}

void install_ahead_end() {
    if (follower.thread != nullptr) follower.final.store(watch.on_file.load());
}

void install_ahead_wait() {
    if (follower.thread == nullptr) return;
    WaitForSingleObject(follower.thread, INFINITE);
    CloseHandle(follower.thread);
    follower.thread = nullptr;
    if (follower.lost || follower.final.load() < 0) install_ahead_discard();
}

void install_ahead_discard() {
    if (follower.thread != nullptr) {
        follower.final.store(given_up);
        install_ahead_wait();
    }
    for (const AheadNote& note : follower.notes) {
        if (!note.taken) _wunlink(note.temporary.c_str());
    }
    // Those that an installation wrote into, or that hold anything else, stay.
    for (auto folder = follower.folders.rbegin(); folder != follower.folders.rend(); ++folder)
        _wrmdir(folder->c_str());
    follower.notes.clear();
    follower.by_name.clear();
    follower.files.clear();
    follower.folders.clear();
    if (!follower.ledger_path.empty()) _unlink(follower.ledger_path.c_str());
    follower.input.clear();
    follower.input.shrink_to_fit();
}

bool install_ahead_take(const char* name, std::uint32_t crc, std::uint64_t size,
                        std::uint64_t compressed, int method) {
    const auto found = follower.by_name.find(name);
    if (found == follower.by_name.end()) return false;
    AheadNote& note = follower.notes[found->second];
    if (note.taken || note.crc != crc || note.size != size || note.compressed != compressed ||
        note.method != method)
        return false;
    note.taken = true;
    return true;
}
