// The WinHTTP calls that tell a Windows service the machine's proxy setting.
// On Windows they are the system's own; elsewhere the stand-ins of this
// folder report that no proxy is configured, so the environment alone
// decides (as libcurl reads it).
#pragma once

#include "platform/win32.h"

#ifdef _WIN32
#include <winhttp.h>
#else
using WCHAR = wchar_t;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using HINTERNET = void*;
using HGLOBAL = void*;
using INTERNET_PORT = unsigned short;

constexpr DWORD WINHTTP_ACCESS_TYPE_DEFAULT_PROXY = 0;
constexpr DWORD WINHTTP_ACCESS_TYPE_NO_PROXY = 1;
constexpr DWORD WINHTTP_ACCESS_TYPE_NAMED_PROXY = 3;
constexpr DWORD WINHTTP_AUTOPROXY_AUTO_DETECT = 0x1;
constexpr DWORD WINHTTP_AUTOPROXY_CONFIG_URL = 0x2;
constexpr DWORD WINHTTP_AUTO_DETECT_TYPE_DHCP = 0x1;
constexpr DWORD WINHTTP_AUTO_DETECT_TYPE_DNS_A = 0x2;
#define WINHTTP_NO_PROXY_NAME nullptr
#define WINHTTP_NO_PROXY_BYPASS nullptr

struct WINHTTP_PROXY_INFO {
    DWORD dwAccessType;
    LPWSTR lpszProxy;
    LPWSTR lpszProxyBypass;
};
struct WINHTTP_CURRENT_USER_IE_PROXY_CONFIG {
    BOOL fAutoDetect;
    LPWSTR lpszAutoConfigUrl;
    LPWSTR lpszProxy;
    LPWSTR lpszProxyBypass;
};
struct WINHTTP_AUTOPROXY_OPTIONS {
    DWORD dwFlags;
    DWORD dwAutoDetectFlags;
    LPCWSTR lpszAutoConfigUrl;
    LPVOID lpvReserved;
    DWORD dwReserved;
    BOOL fAutoLogonIfChallenged;
};

BOOL WinHttpGetDefaultProxyConfiguration(WINHTTP_PROXY_INFO* info);
BOOL WinHttpGetIEProxyConfigForCurrentUser(WINHTTP_CURRENT_USER_IE_PROXY_CONFIG* config);
HINTERNET WinHttpOpen(LPCWSTR agent, DWORD access_type, LPCWSTR proxy, LPCWSTR bypass,
                      DWORD flags);
BOOL WinHttpSetTimeouts(HINTERNET handle, int resolve_ms, int connect_ms, int send_ms,
                        int receive_ms);
BOOL WinHttpGetProxyForUrl(HINTERNET session, LPCWSTR url, WINHTTP_AUTOPROXY_OPTIONS* options,
                           WINHTTP_PROXY_INFO* info);
HGLOBAL GlobalFree(HGLOBAL memory);
#endif
