// The machine policy, read through the registry calls: the system's registry
// on Windows, the policy file's stand-ins elsewhere.
#include "update/policy.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

#include "orvane_config.h"
#include "platform/win32.h"
#include "update/limits.h"

namespace {

// The longest name the registry holds, and more data than any policy value
// needs (a longer one is refused, not cut).
constexpr DWORD longest_value_name = 16383;
constexpr DWORD longest_value_data = 65536;
// The base URL leaves room for the longest fixed path that follows it.
constexpr std::size_t longest_server_url =
    path_buffer_size - sizeof "/~tarn/latest/notify_installed.osp";

constexpr const char* mode_prefix = "Update.";
constexpr const char* target_prefix = "TargetVersionPrefix.";

struct Read {
    std::string name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

bool named(const std::string& name, const char* known) { return _stricmp(name.c_str(), known) == 0; }

// The package a per-package name is about; empty when it is not one.
std::string package_of(const std::string& name, const char* prefix) {
    const std::size_t length = std::strlen(prefix);
    if (name.size() <= length || _strnicmp(name.c_str(), prefix, length) != 0) return "";
    return name.substr(length);
}

// An integer value (REG_DWORD signed, or REG_QWORD); false when it is none.
bool integer_of(const Read& value, long long* number) {
    if (value.type == REG_DWORD && value.data.size() == 4) {
        std::int32_t bits = 0;
        std::memcpy(&bits, value.data.data(), 4);
        *number = bits;
        return true;
    }
    if (value.type == REG_QWORD && value.data.size() == 8) {
        std::int64_t bits = 0;
        std::memcpy(&bits, value.data.data(), 8);
        *number = bits;
        return true;
    }
    return false;
}

// A string value without its terminator; false when it is none, or holds a NUL.
bool string_of(const Read& value, std::string* text) {
    if (value.type != REG_SZ) return false;
    std::size_t length = value.data.size();
    if (length > 0 && value.data[length - 1] == 0) --length;
    text->assign(reinterpret_cast<const char*>(value.data.data()), length);
    return text->find('\0') == std::string::npos;
}

std::string server_url_fault(std::string* url) {
    const bool http = url->rfind("http://", 0) == 0;
    const bool https = url->rfind("https://", 0) == 0;
    if (!http && !https) return "is not an http:// or https:// URL";
    for (char c : *url) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F) return "holds a blank or a control character";
    }
    // The paths that follow begin with their own slash.
    while (!url->empty() && url->back() == '/') url->pop_back();
    if (url->size() <= (https ? 8u : 7u) || url->back() == ':') return "names no server";
    if (url->size() > longest_server_url) return "is too long";
    return "";
}

// Takes one value into the policy; what is wrong with it, or "".
std::string take(Policy& policy, const Read& value, long long* quiet, bool* quiet_given) {
    const std::string& name = value.name;
    long long number = 0;
    std::string text;
    // highest < 0: no upper bound.
    auto in_range = [&](long long lowest, long long highest) -> std::string {
        if (!integer_of(value, &number)) return name + " is not an integer";
        const std::string given = name + " is " + std::to_string(number);
        if (number < lowest) return given + ", below " + std::to_string(lowest);
        if (highest >= 0 && number > highest)
            return given + ", not " + std::to_string(lowest) + " to " + std::to_string(highest);
        return "";
    };
    const char* quiet_names[] = {"UpdatesSuppressedStartHour", "UpdatesSuppressedStartMin",
                                 "UpdatesSuppressedDurationMin"};
    const long long quiet_highest[] = {23, 59, 960};
    for (int i = 0; i < 3; ++i) {
        if (!named(name, quiet_names[i])) continue;
        std::string fault = in_range(0, quiet_highest[i]);
        quiet[i] = number;
        quiet_given[i] = fault.empty();
        return fault;
    }
    if (named(name, "UpdateServerUrl")) {
        if (!string_of(value, &text)) return name + " is not a string";
        std::string fault = server_url_fault(&text);
        if (!fault.empty()) return name + " " + fault;
        policy.update_server_url = text;
        return "";
    }
    if (named(name, "CheckPeriodMinutes")) {
        std::string fault = in_range(0, -1);
        if (!fault.empty()) return fault;
        // The schedule counts 1 to 59 as 60 and caps it; here it only fits an int.
        policy.check_period_minutes =
            static_cast<int>(std::min<long long>(number, std::numeric_limits<int>::max()));
        policy.check_period_given = true;
        return "";
    }
    if (named(name, "MaxDownloadKbps")) {
        std::string fault = in_range(0, -1);
        if (fault.empty()) policy.max_download_kbps = number;
        return fault;
    }
    if (named(name, "RolloutBucket")) {
        std::string fault = in_range(0, 99);
        if (fault.empty()) policy.rollout_bucket = static_cast<int>(number);
        return fault;
    }
    if (named(name, "UpdateDefault")) {
        std::string fault = in_range(0, 2);
        if (fault.empty()) policy.update_default = static_cast<int>(number);
        return fault;
    }
    if (std::string package = package_of(name, mode_prefix); !package.empty()) {
        std::string fault = in_range(0, 2);
        if (fault.empty()) policy.update_modes[name] = static_cast<int>(number);
        return fault;
    }
    if (std::string package = package_of(name, target_prefix); !package.empty()) {
        if (!string_of(value, &text)) return name + " is not a string";
        policy.target_version_prefixes[name] = text;
        return "";
    }
    policy.unknown.push_back(name);
    return "";
}

}  // namespace

Policy policy_read() {
    Policy policy;
    const char* file = registry_policy_file();
    policy.source = file != nullptr ? std::string(file) : std::string("HKLM\\") + ORVANE_POLICY_KEY;
    std::vector<std::string> faults;
    HKEY key = nullptr;
    LSTATUS opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, ORVANE_POLICY_KEY, 0, KEY_READ, &key);
    if (opened == static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND)) return policy;
    policy.present = true;
    if (opened != ERROR_SUCCESS) {
        const std::string detail = registry_failure_detail();
        policy.valid = false;
        policy.error = policy.source + ": " +
                       (detail.empty() ? "cannot be read (error " + std::to_string(opened) + ")"
                                       : detail);
        return policy;
    }
    long long quiet[3] = {0, 0, 0};
    bool quiet_given[3] = {false, false, false};
    std::vector<char> name(longest_value_name + 1);
    for (DWORD index = 0;; ++index) {
        Read value;
        DWORD name_length = longest_value_name + 1;
        DWORD size = 0;
        LSTATUS listed = RegEnumValueA(key, index, name.data(), &name_length, nullptr, &value.type,
                                       nullptr, &size);
        if (listed == static_cast<LSTATUS>(ERROR_NO_MORE_ITEMS)) break;
        if (listed != ERROR_SUCCESS) {
            faults.push_back("cannot be read (error " + std::to_string(listed) + ")");
            break;
        }
        value.name.assign(name.data(), name_length);
        if (size > longest_value_data) {
            faults.push_back(value.name + " is too long");
            continue;
        }
        value.data.resize(size);
        LSTATUS queried = RegQueryValueExA(key, value.name.c_str(), nullptr, &value.type,
                                           value.data.data(), &size);
        if (queried != ERROR_SUCCESS) {
            faults.push_back(value.name + " cannot be read (error " + std::to_string(queried) + ")");
            continue;
        }
        value.data.resize(size);
        std::string fault = take(policy, value, quiet, quiet_given);
        if (!fault.empty()) faults.push_back(fault);
    }
    RegCloseKey(key);

    const int given = quiet_given[0] + quiet_given[1] + quiet_given[2];
    if (given == 3) {
        policy.quiet_window = true;
        policy.quiet_start_minute = static_cast<int>(quiet[0] * 60 + quiet[1]);
        policy.quiet_duration_minutes = static_cast<int>(quiet[2]);
    } else if (given != 0 && faults.empty()) {
        faults.push_back(
            "UpdatesSuppressedStartHour, UpdatesSuppressedStartMin and "
            "UpdatesSuppressedDurationMin are given together or not at all");
    }
    if (!faults.empty()) {
        policy.valid = false;
        policy.error = policy.source + ": ";
        for (std::size_t i = 0; i < faults.size(); ++i)
            policy.error += (i == 0 ? "" : "; ") + faults[i];
    }
    return policy;
}
