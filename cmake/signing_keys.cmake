# The trusted release keys: minisign public keys (the base64 line of a
# minisign public key file), separated by blanks. Each must be the base64 of
# 42 bytes: "Ed", the 8-byte key id and the 32-byte Ed25519 key. "Ed" and 42
# bytes fix the form exactly: "RW", then one of Q R S T (the top bits of the
# key id's first byte), then 53 more base64 digits, no padding.
#
#   orvane_signing_keys(OUT "<keys>")   sets OUT to the keys separated by one
#                                       space, or fails the configure step
# Run as a script it checks -DORVANE_SIGNING_KEYS=... alone:
#   cmake -DORVANE_SIGNING_KEYS="RW..." -P cmake/signing_keys.cmake
function(orvane_signing_keys out keys)
  string(REGEX REPLACE "[ \t\r\n]+" ";" list "${keys}")
  set(checked "")
  foreach(key IN LISTS list)
    if(key STREQUAL "")
      continue()
    endif()
    string(LENGTH "${key}" length)
    if(NOT key MATCHES "^RW[QRST][A-Za-z0-9+/]+$" OR NOT length EQUAL 56)
      message(FATAL_ERROR "ORVANE_SIGNING_KEYS: \"${key}\" is not a minisign public key "
        "(the second line of a minisign .pub file: 56 base64 characters starting with RW, "
        "an Ed25519 key with its key id)")
    endif()
    list(APPEND checked "${key}")
  endforeach()
  list(JOIN checked " " joined)
  set(${out} "${joined}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  orvane_signing_keys(keys "${ORVANE_SIGNING_KEYS}")
  message(STATUS "signing keys: ${keys}")
endif()
