// Files that Windows will not let the installer replace because they run (a
// program, a loaded library), and that it renames aside instead.
#pragma once

#include <cstddef>

// Puts temporary in target's place (path: target's name as the installer
// writes it, UTF-8). A running target is renamed aside in its folder first,
// noted for removal and the new file renamed in. False, with target as it
// was and errno set, when it cannot be replaced.
bool install_put_in_place(const char* path, const wchar_t* temporary, const wchar_t* target);

// Whether the length characters at text are, in any case, a suffix that a
// set-aside file's name ends with.
bool install_aside_suffix(const char* text, std::size_t length);

// Removes the files set aside by earlier installations whose programs have
// ended since; the others stay noted for a later pass.
void install_remove_set_aside();
