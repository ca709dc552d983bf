// The proxy of each transfer. A variable of the service's environment wins,
// as libcurl would read it; otherwise the machine-wide WinHTTP setting (what
// `netsh winhttp set proxy` writes) with its bypass list, or, when the
// service account's settings ask for it, the proxy that automatic discovery
// (WPAD or a PAC script) names for the URL. No password is ever stored:
// without credentials in the proxy's URL, the proxy is answered with the
// account's own logon (Negotiate or NTLM through the system's SSPI).
#include "platform/winhttp.h"  // first: Windows headers before curl.h

#include "transfer/proxy.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr long proxy_auth_status = 407;
constexpr std::size_t longest_url = 4096;

HINTERNET proxy_session = nullptr;  // for automatic discovery; lives with the process

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Case-insensitive match with '*' for any run of characters.
bool glob_match(const char* pattern, const char* text) {
    const char* star = nullptr;
    const char* resume = nullptr;
    while (*text != '\0') {
        if (*pattern == '*') {
            star = pattern++;
            resume = text;
        } else if (*pattern != '\0' && lower(*pattern) == lower(*text)) {
            ++pattern;
            ++text;
        } else if (star != nullptr) {
            pattern = star + 1;
            text = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == '*') ++pattern;
    return *pattern == '\0';
}

bool is_separator(wchar_t c) { return c == L';' || c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

// The next entry of a WinHTTP list into out, narrowed; an entry that is not
// printable ASCII or too long comes out empty. False at the end of the list.
bool next_entry(const wchar_t*& cursor, char* out, std::size_t size) {
    while (*cursor != L'\0' && is_separator(*cursor)) ++cursor;
    if (*cursor == L'\0') return false;
    std::size_t n = 0;
    bool usable = true;
    for (; *cursor != L'\0' && !is_separator(*cursor); ++cursor) {
        if (*cursor < 0x21 || *cursor > 0x7E || n + 1 >= size) {
            usable = false;
        } else {
            out[n++] = static_cast<char>(*cursor);
        }
    }
    out[usable ? n : 0] = '\0';
    return true;
}

// The authority of a URL or bare "host:port": where it starts and its length.
const char* authority(const char* proxy, std::size_t* length) {
    const char* start = std::strstr(proxy, "://");
    start = start != nullptr ? start + 3 : proxy;
    *length = std::strcspn(start, "/?#");
    return start;
}

// "[scheme://][user@]host[:port]" as a libcurl proxy URL with its port.
bool proxy_url(const char* entry, char* out, std::size_t size) {
    const char* scheme_end = std::strstr(entry, "://");
    const bool secure =
        scheme_end != nullptr && scheme_end - entry == 5 && _strnicmp(entry, "https", 5) == 0;
    std::size_t length = 0;
    const char* start = authority(entry, &length);
    const char* host = start;
    for (const char* at = start; at < start + length; ++at) {
        if (*at == '@') host = at + 1;
    }
    const std::size_t host_length = static_cast<std::size_t>(start + length - host);
    if (host_length == 0) return false;
    // A port follows the last ':' that is not inside an IPv6 literal's brackets.
    const char* close = static_cast<const char*>(std::memchr(host, ']', host_length));
    const char* after = close != nullptr ? close + 1 : host;
    const bool has_port = std::memchr(after, ':', static_cast<std::size_t>(start + length - after)) != nullptr;
    const int written =
        std::snprintf(out, size, "%s%.*s%s", scheme_end != nullptr ? "" : "http://",
                      static_cast<int>(start + length - entry), entry,
                      has_port ? "" : (secure ? ":443" : ":80"));
    return written > 0 && static_cast<std::size_t>(written) < size;
}

void free_proxy_info(WINHTTP_PROXY_INFO& info) {
    if (info.lpszProxy != nullptr) GlobalFree(info.lpszProxy);
    if (info.lpszProxyBypass != nullptr) GlobalFree(info.lpszProxyBypass);
}

// A WinHTTP proxy and bypass list applied to one URL: the proxy, or "" to go
// direct.
void proxy_choose(const wchar_t* list, const wchar_t* bypass, const char* scheme,
                  const char* host, char* out, std::size_t size) {
    if ((bypass != nullptr && proxy_bypassed(bypass, host)) ||
        !proxy_from_list(list, scheme, out, size)) {
        out[0] = '\0';
    }
}

// The proxy that automatic discovery names for url, when the service
// account's settings ask for discovery; false when they do not or it fails.
bool proxy_discover(const char* url, const char* scheme, const char* host, char* out,
                    std::size_t size) {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG settings{};
    if (!WinHttpGetIEProxyConfigForCurrentUser(&settings)) return false;
    WINHTTP_AUTOPROXY_OPTIONS options{};
    if (settings.fAutoDetect) {
        options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    if (settings.lpszAutoConfigUrl != nullptr) {
        options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = settings.lpszAutoConfigUrl;
    }
    options.fAutoLogonIfChallenged = TRUE;

    wchar_t wide[longest_url];
    std::size_t n = 0;
    for (; url[n] != '\0' && n + 1 < longest_url; ++n) wide[n] = static_cast<unsigned char>(url[n]);
    wide[n] = L'\0';

    if (options.dwFlags != 0 && proxy_session == nullptr) {
        proxy_session = WinHttpOpen(L"Orvane Autoupdate", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
        // The script's download is bounded like any transfer.
        if (proxy_session != nullptr) WinHttpSetTimeouts(proxy_session, 10000, 10000, 10000, 10000);
    }
    bool decided = false;
    if (options.dwFlags != 0 && proxy_session != nullptr && url[n] == '\0') {
        WINHTTP_PROXY_INFO found{};
        if (WinHttpGetProxyForUrl(proxy_session, wide, &options, &found)) {
            decided = true;
            out[0] = '\0';
            if (found.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && found.lpszProxy != nullptr) {
                proxy_choose(found.lpszProxy, found.lpszProxyBypass, scheme, host, out, size);
            }
            free_proxy_info(found);
        }
    }
    if (settings.lpszAutoConfigUrl != nullptr) GlobalFree(settings.lpszAutoConfigUrl);
    if (settings.lpszProxy != nullptr) GlobalFree(settings.lpszProxy);
    if (settings.lpszProxyBypass != nullptr) GlobalFree(settings.lpszProxyBypass);
    return decided;
}

// The machine's proxy for url ("" for direct); false when the machine's
// setting has nothing to say.
bool proxy_from_machine(const char* url, const char* scheme, const char* host, char* out,
                        std::size_t size) {
    WINHTTP_PROXY_INFO info{};
    bool decided = false;
    if (WinHttpGetDefaultProxyConfiguration(&info) &&
        info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && info.lpszProxy != nullptr) {
        proxy_choose(info.lpszProxy, info.lpszProxyBypass, scheme, host, out, size);
        decided = true;
    } else {
        decided = proxy_discover(url, scheme, host, out, size);
    }
    free_proxy_info(info);
    return decided;
}

}  // namespace

const char* proxy_from_environment(const char* scheme) {
    char name[32];
    const std::size_t length = std::strlen(scheme);
    if (length + sizeof "_proxy" > sizeof name) return nullptr;
    for (std::size_t i = 0; i < length; ++i) name[i] = lower(scheme[i]);
    std::strcpy(name + length, "_proxy");
    const char* value = std::getenv(name);
    // libcurl reads HTTP_PROXY in upper case for no scheme but http (a CGI
    // program's environment carries a request's "Proxy:" header under it).
    if ((value == nullptr || *value == '\0') && std::strcmp(name, "http_proxy") != 0) {
        for (std::size_t i = 0; name[i] != '\0'; ++i) {
            if (name[i] >= 'a' && name[i] <= 'z') name[i] = static_cast<char>(name[i] - 'a' + 'A');
        }
        value = std::getenv(name);
    }
    if (value == nullptr || *value == '\0') value = std::getenv("all_proxy");
    if (value == nullptr || *value == '\0') value = std::getenv("ALL_PROXY");
    return value != nullptr && *value != '\0' ? value : nullptr;
}

bool proxy_from_list(const wchar_t* list, const char* scheme, char* out, std::size_t size) {
    char entry[proxy_text_size];
    char general[proxy_text_size] = "";
    const std::size_t scheme_length = std::strlen(scheme);
    for (const wchar_t* cursor = list; next_entry(cursor, entry, sizeof entry);) {
        const char* equals = std::strchr(entry, '=');
        const char* slashes = std::strstr(entry, "://");
        if (equals != nullptr && (slashes == nullptr || equals < slashes)) {
            // "scheme=proxy": for URLs of that scheme only, and ahead of the rest.
            if (static_cast<std::size_t>(equals - entry) == scheme_length &&
                _strnicmp(entry, scheme, scheme_length) == 0) {
                return proxy_url(equals + 1, out, size);
            }
        } else if (general[0] == '\0' && entry[0] != '\0') {
            std::strcpy(general, entry);
        }
    }
    return general[0] != '\0' && proxy_url(general, out, size);
}

bool proxy_bypassed(const wchar_t* bypass, const char* host) {
    char entry[proxy_text_size];
    for (const wchar_t* cursor = bypass; next_entry(cursor, entry, sizeof entry);) {
        if (entry[0] == '\0') continue;
        if (std::strlen(entry) == 7 && _strnicmp(entry, "<local>", 7) == 0) {
            if (std::strpbrk(host, ".:") == nullptr) return true;
            continue;
        }
        const char* slashes = std::strstr(entry, "://");
        if (glob_match(slashes != nullptr ? slashes + 3 : entry, host)) return true;
    }
    return false;
}

bool proxy_has_credentials(const char* proxy) {
    std::size_t length = 0;
    const char* start = authority(proxy, &length);
    return std::memchr(start, '@', length) != nullptr;
}

void proxy_setup(CURL* handle, const char* url) {
    CURLU* parts = curl_url();
    char* scheme = nullptr;
    char* host = nullptr;
    if (parts != nullptr && curl_url_set(parts, CURLUPART_URL, url, 0) == CURLUE_OK &&
        curl_url_get(parts, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
        curl_url_get(parts, CURLUPART_HOST, &host, 0) == CURLUE_OK) {
        const char* chosen = proxy_from_environment(scheme);
        char machine[proxy_text_size];
        if (chosen == nullptr && proxy_from_machine(url, scheme, host, machine, sizeof machine)) {
            curl_easy_setopt(handle, CURLOPT_PROXY, machine);  // "" goes direct
            chosen = machine;
        }
        if (chosen != nullptr && *chosen != '\0') {
            if (proxy_has_credentials(chosen)) {
                // Credentials given in the proxy's URL; Basic only for them.
                curl_easy_setopt(handle, CURLOPT_PROXYAUTH, CURLAUTH_BASIC | CURLAUTH_NTLM);
            } else {
                // An empty user name and password: the account's own logon.
                curl_easy_setopt(handle, CURLOPT_PROXYAUTH, CURLAUTH_NEGOTIATE | CURLAUTH_NTLM);
                curl_easy_setopt(handle, CURLOPT_PROXYUSERPWD, ":");
            }
        }
    }
    curl_free(scheme);
    curl_free(host);
    curl_url_cleanup(parts);
}

bool proxy_refused(CURL* handle) {
    long code = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &code);
    return code == proxy_auth_status;
}
