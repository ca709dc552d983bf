// Extraction of a package archive over the install tree.
#pragma once

// 0 when the archive was opened, otherwise the archive library's error code.
int install_package(const char* archive_path);

// The number of entries that failed in the last install_package call.
int install_error_count();

// Creates every directory named by a prefix of path that ends before a separator.
void make_parent_dirs(const char* path);
