// Stand-ins for the WinHTTP proxy calls: no machine-wide proxy, no automatic
// discovery. Off Windows the service's environment names its proxy.
#include "platform/winhttp.h"

#include <cstdlib>

BOOL WinHttpGetDefaultProxyConfiguration(WINHTTP_PROXY_INFO* info) {
    info->dwAccessType = WINHTTP_ACCESS_TYPE_NO_PROXY;
    info->lpszProxy = nullptr;
    info->lpszProxyBypass = nullptr;
    return TRUE;
}

BOOL WinHttpGetIEProxyConfigForCurrentUser(WINHTTP_CURRENT_USER_IE_PROXY_CONFIG* config) {
    config->fAutoDetect = FALSE;
    config->lpszAutoConfigUrl = nullptr;
    config->lpszProxy = nullptr;
    config->lpszProxyBypass = nullptr;
    return TRUE;
}

HINTERNET WinHttpOpen(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD) { return nullptr; }

BOOL WinHttpSetTimeouts(HINTERNET, int, int, int, int) { return FALSE; }

BOOL WinHttpGetProxyForUrl(HINTERNET, LPCWSTR, WINHTTP_AUTOPROXY_OPTIONS*, WINHTTP_PROXY_INFO*) {
    return FALSE;
}

HGLOBAL GlobalFree(HGLOBAL memory) {
    std::free(memory);
    return nullptr;
}
