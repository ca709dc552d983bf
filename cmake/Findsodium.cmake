# libsodium, as the imported target sodium::sodium.
# Linux: pkg-config's libsodium. Cross-built for Windows: the static library
# and headers in the MinGW prefix (CMAKE_PREFIX_PATH), which scripts/
# build-windows.sh builds; SODIUM_STATIC declares its functions for static use.
# Windows itself: vcpkg's libsodium (vcpkg.json).
if(NOT CMAKE_CROSSCOMPILING)
  find_package(PkgConfig QUIET)
endif()
if(PKG_CONFIG_FOUND)
  pkg_check_modules(SODIUM QUIET IMPORTED_TARGET libsodium)
endif()
if(TARGET PkgConfig::SODIUM)
  set(sodium_FOUND TRUE)
  if(NOT TARGET sodium::sodium)
    add_library(sodium::sodium ALIAS PkgConfig::SODIUM)
  endif()
  return()
endif()

find_path(SODIUM_INCLUDE_DIR sodium.h)
if(WIN32)
  find_library(SODIUM_LIBRARY NAMES libsodium.a sodium libsodium)
else()
  find_library(SODIUM_LIBRARY NAMES sodium)
endif()
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(sodium REQUIRED_VARS SODIUM_LIBRARY SODIUM_INCLUDE_DIR)
if(sodium_FOUND AND NOT TARGET sodium::sodium)
  add_library(sodium::sodium UNKNOWN IMPORTED)
  set_target_properties(sodium::sodium PROPERTIES IMPORTED_LOCATION "${SODIUM_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${SODIUM_INCLUDE_DIR}")
  if(WIN32 AND SODIUM_LIBRARY MATCHES "\\.a$")
    set_property(TARGET sodium::sodium PROPERTY INTERFACE_COMPILE_DEFINITIONS SODIUM_STATIC)
  endif()
endif()
