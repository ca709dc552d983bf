// How the installer names what it writes: entry names checked and turned
// into paths of the install tree, and the temporary beside each target.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

// Longest path whose directories are created, terminator included.
constexpr std::size_t prefix_buffer_size = 8192;
// An entry is written beside its target under this suffix and takes the
// target's place only once it is whole on disk; one that a power cut left
// behind is overwritten by the next attempt.
constexpr wchar_t temporary_suffix[] = L".orvane-new";
constexpr std::size_t temporary_buffer_size =
    prefix_buffer_size + sizeof temporary_suffix / sizeof(wchar_t);

inline bool is_separator(char c) { return c == '/' || c == '\\'; }

// A name that could write outside the install root: absolute, with a drive
// letter or a stream name (any ':'), or with a ".." component. The service
// runs with full rights, so such an entry is never written. Nor is one of the
// installer's own names.
bool install_name_unsafe(const char* name);

// An entry name as a path of this tree: '/' for either separator, as Windows
// reads both (a backslash elsewhere would be part of a file name), so an
// archive written with backslashes lands alike on every system. path holds
// prefix_buffer_size bytes; the caller has checked the name fits.
void install_path_of(const char* name, char* path);

// Entry names are UTF-8; the narrow file calls would read them in the
// machine's code page on Windows, so files and directories are named through
// the wide calls. False for a name that is not UTF-8. wide holds
// prefix_buffer_size characters.
bool install_wide_name(const char* path, wchar_t* wide);

// The target's name and its temporary's in wide characters; false for a
// name that is not UTF-8 or is empty (nothing to write beside).
bool install_wide_names(const char* path, wchar_t* target, wchar_t* temporary);

// The file an entry's path names, as the file system tells names apart:
// separators, "." and empty parts do not count, and where it folds case
// neither do the dots and blanks at the end of a part.
std::wstring install_file_key(const wchar_t* path);
// File keys in order, in any case where the file system folds it: two keys
// neither of which comes first name one file.
struct InstallFileKeyOrder {
    bool operator()(const std::wstring& a, const std::wstring& b) const;
};

// Ends the writing of a temporary beside target: its last bytes flushed (a
// full disk often shows only then), the target's attributes taken, its data
// on the way to the disk, closed. False when any of that failed; the file is
// closed either way.
bool install_temporary_close(std::FILE* file, const wchar_t* target);
// Removes the temporary beside path's target, if there is one.
void install_remove_temporary(const char* path);
