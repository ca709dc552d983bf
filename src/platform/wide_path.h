// Wide paths as this system's file calls take them (UTF-8); shared by the
// stand-ins of this folder.
#pragma once

#include <string>

std::string wide_path_utf8(const wchar_t* wide);
