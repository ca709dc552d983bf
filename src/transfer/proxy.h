// The proxy of each transfer: the one the service's environment names, as
// libcurl reads it, else the machine's WinHTTP setting; proxy authentication
// with the service account's own credentials.
#pragma once

#include <cstddef>

#include <curl/curl.h>

// Longest proxy text a transfer is handed, with its terminating NUL.
constexpr std::size_t proxy_text_size = 1024;

// Sets the proxy options of a transfer of url, before it starts.
void proxy_setup(CURL* handle, const char* url);

// True when the last response came from a proxy that asked for credentials
// it was not given: the server was never asked.
bool proxy_refused(CURL* handle);

// The proxy that the environment names for URLs of scheme (libcurl's own
// variables and order), or none.
const char* proxy_from_environment(const char* scheme);

// The proxy that a WinHTTP proxy list ("host:port", "http=host:port;
// https=host:port", entries apart by ';' or blanks) names for URLs of scheme,
// written as libcurl takes it ("http://host:port", WinHTTP's port 80 when
// none is given). False when the list names none for the scheme.
bool proxy_from_list(const wchar_t* list, const char* scheme, char* out, std::size_t size);

// True when host is on a WinHTTP bypass list: entries apart by ';' or blanks,
// '*' for any run of characters, "<local>" for every name without a dot.
bool proxy_bypassed(const wchar_t* bypass, const char* host);

// True when a proxy URL carries credentials (user[:password]@host).
bool proxy_has_credentials(const char* proxy);
