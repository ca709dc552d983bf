// Extraction of a package archive over the install tree.
#pragma once

#include <string>
#include <vector>

// 0 when the archive was opened, otherwise the archive library's error code.
int install_package(const char* archive_path);

// install_package once more, after an attempt at the same archive in this
// pass: only the entries that failed then are written, and the installed
// tree is not read again. The whole archive when the attempt before was at
// another archive or failed as a whole.
int install_package_again(const char* archive_path);

// The number of entries that failed in the last install_package call.
int install_error_count();

// Creates every directory named by a prefix of path that ends before a
// separator; those it made are added to *made, in the order made.
void make_parent_dirs(const char* path, std::vector<std::string>* made = nullptr);
