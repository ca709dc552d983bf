// The machine policy's registry key, served from a root-owned JSON file: the
// same names and types as the Windows values, read by the same calls. The
// machine's id key serves the system's machine id.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <mutex>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "orvane_config.h"
#include "platform/win32.h"

namespace {

struct Value {
    std::string name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

struct PolicyKey {
    std::vector<Value> values;
};

// Where Windows keeps the installation's id, and where Linux keeps it: the
// systemd file, else D-Bus's older one (images without systemd may have only
// that), else the host's name, which a container gets of its own; machines
// that shared one id would take every staged release together.
constexpr const char* machine_key = "SOFTWARE\\Microsoft\\Cryptography";
constexpr const char* machine_id_files[] = {"/etc/machine-id", "/var/lib/dbus/machine-id"};

// A policy is a handful of short values; anything near this is not one.
constexpr std::size_t longest_policy_file = 1 << 20;

std::mutex open_keys_mutex;
std::set<PolicyKey*> open_keys;
thread_local std::string failure_detail;
thread_local std::string policy_file;

PolicyKey* opened(HKEY key) {
    std::lock_guard<std::mutex> lock(open_keys_mutex);
    auto found = open_keys.find(static_cast<PolicyKey*>(key));
    return found == open_keys.end() ? nullptr : *found;
}

// The file's name as built, a relative one under the install root.
std::string file_name() {
    std::string name = ORVANE_POLICY_FILE;
    if (!name.empty() && name[0] == '/') return name;
    char executable[4096];
    DWORD length = GetModuleFileNameA(nullptr, executable, sizeof executable);
    if (length == 0 || length >= sizeof executable) return name;
    // The executable's directory, then its parent.
    std::string root(executable, length);
    for (int up = 0; up < 2; ++up) {
        const std::size_t slash = root.find_last_of('/');
        root.erase(slash == std::string::npos ? 0 : slash);
    }
    return root + "/" + name;
}

LSTATUS fail(LSTATUS code, const std::string& detail) {
    failure_detail = detail;
    return code;
}

// Line and column of a byte offset, counted from 1 as editors do.
std::string position(const std::string& text, std::size_t offset) {
    std::size_t line = 1, column = 1;
    for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

Value served(const std::string& name, const nlohmann::json& member) {
    Value value{name, REG_NONE, {}};
    if (member.is_string()) {
        const std::string& text = member.get_ref<const std::string&>();
        value.type = REG_SZ;
        value.data.assign(text.begin(), text.end());
        value.data.push_back(0);
    } else if (member.is_number_integer()) {
        const bool fits_long_long =
            member.is_number_unsigned()
                ? member.get<std::uint64_t>() <=
                      static_cast<std::uint64_t>(std::numeric_limits<long long>::max())
                : true;
        if (!fits_long_long) return value;
        const long long number = member.get<long long>();
        if (number >= std::numeric_limits<std::int32_t>::min() &&
            number <= std::numeric_limits<std::int32_t>::max()) {
            const auto bits = static_cast<std::uint32_t>(static_cast<std::int32_t>(number));
            value.type = REG_DWORD;
            value.data.resize(4);
            std::memcpy(value.data.data(), &bits, 4);
        } else {
            value.type = REG_QWORD;
            value.data.resize(8);
            std::memcpy(value.data.data(), &number, 8);
        }
    }
    return value;
}

// Copies a value's data out as the registry does: the size needed always,
// the bytes when they fit.
LSTATUS hand_out(const Value& value, LPDWORD type, LPBYTE data, LPDWORD data_size) {
    if (type != nullptr) *type = value.type;
    const auto size = static_cast<DWORD>(value.data.size());
    if (data_size == nullptr) return data == nullptr ? ERROR_SUCCESS : ERROR_INVALID_DATA;
    const DWORD room = *data_size;
    *data_size = size;
    if (data == nullptr) return ERROR_SUCCESS;
    if (room < size) return static_cast<LSTATUS>(ERROR_MORE_DATA);
    if (size != 0) std::memcpy(data, value.data.data(), size);
    return ERROR_SUCCESS;
}

}  // namespace

const char* registry_policy_file() {
    policy_file = file_name();
    return policy_file.c_str();
}

const char* registry_failure_detail() { return failure_detail.c_str(); }

// The first line of a machine-id file without blanks around it; "" when
// there is none.
static std::string machine_id_from(const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return "";
    char line[256] = "";
    const bool read = std::fgets(line, sizeof line, file) != nullptr;
    std::fclose(file);
    std::string id = read ? line : "";
    const std::size_t first = id.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    return id.substr(first, id.find_last_not_of(" \t\r\n") - first + 1);
}

// The machine id key: its one value, MachineGuid, is the machine's id as
// above; no id, no key.
static LSTATUS open_machine_key(PHKEY result) {
    std::string id;
    for (const char* path : machine_id_files) {
        if (id.empty()) id = machine_id_from(path);
    }
    if (char host[256] = ""; id.empty() && gethostname(host, sizeof host - 1) == 0) id = host;
    if (id.empty()) return static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND);
    auto* opened_key = new PolicyKey;
    opened_key->values.push_back(served("MachineGuid", nlohmann::json(id)));
    std::lock_guard<std::mutex> lock(open_keys_mutex);
    open_keys.insert(opened_key);
    *result = static_cast<HKEY>(opened_key);
    return ERROR_SUCCESS;
}

LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subkey, DWORD, REGSAM, PHKEY result) {
    failure_detail.clear();
    if (result != nullptr) *result = nullptr;
    if (key == HKEY_LOCAL_MACHINE && subkey != nullptr && result != nullptr &&
        _stricmp(subkey, machine_key) == 0)
        return open_machine_key(result);
    if (key != HKEY_LOCAL_MACHINE || subkey == nullptr || result == nullptr ||
        _stricmp(subkey, ORVANE_POLICY_KEY) != 0)
        return static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND);
    const std::string path = file_name();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) return static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND);
    if (fd < 0) return fail(ERROR_ACCESS_DENIED, std::string("cannot be read (") + std::strerror(errno) + ")");
    // The file read is the file checked: a service that runs as root takes
    // orders from it, so only root may have written it.
    struct stat status{};
    std::string text;
    LSTATUS refused = ERROR_SUCCESS;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        refused = fail(ERROR_ACCESS_DENIED, "not a regular file, refused");
    } else if (status.st_uid != 0) {
        refused = fail(ERROR_ACCESS_DENIED, "not owned by root, refused");
    } else if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        refused = fail(ERROR_ACCESS_DENIED, "writable by group or others, refused");
    } else {
        char chunk[16384];
        ssize_t got;
        while ((got = read(fd, chunk, sizeof chunk)) > 0 && text.size() <= longest_policy_file)
            text.append(chunk, static_cast<std::size_t>(got));
        if (got < 0)
            refused = fail(ERROR_ACCESS_DENIED, std::string("cannot be read (") + std::strerror(errno) + ")");
        else if (text.size() > longest_policy_file)
            refused = fail(ERROR_INVALID_DATA, "larger than 1 MiB");
    }
    close(fd);
    if (refused != ERROR_SUCCESS) return refused;

    // Names are case-blind, as in the registry: one name given twice is
    // not taken as whichever came last.
    std::string twice;
    std::vector<std::string> seen;
    nlohmann::json::parser_callback_t note = [&](int depth, nlohmann::json::parse_event_t event,
                                                 nlohmann::json& parsed) {
        if (event == nlohmann::json::parse_event_t::key && depth == 1 && parsed.is_string()) {
            const std::string& name = parsed.get_ref<const std::string&>();
            for (const std::string& other : seen) {
                if (twice.empty() && other.size() == name.size() &&
                    _stricmp(other.c_str(), name.c_str()) == 0)
                    twice = name;
            }
            seen.push_back(name);
        }
        return true;
    };
    nlohmann::json document;
    try {
        document = nlohmann::json::parse(text, note);
    } catch (const nlohmann::json::parse_error& error) {
        // The library's own text also quotes what it last read; the position
        // and the reason are what an editor needs.
        std::string reason = error.what();
        const std::size_t colon = reason.find(": ");
        reason = colon == std::string::npos ? "not JSON" : reason.substr(colon + 2);
        if (const std::size_t quoted = reason.find("; last read:"); quoted != std::string::npos)
            reason.erase(quoted);
        return fail(ERROR_INVALID_DATA,
                    position(text, error.byte == 0 ? 0 : error.byte - 1) + ": " + reason);
    }
    if (!document.is_object()) return fail(ERROR_INVALID_DATA, "not a JSON object");
    if (!twice.empty()) return fail(ERROR_INVALID_DATA, twice + " is given twice");
    auto* opened_key = new PolicyKey;
    for (const auto& [name, member] : document.items()) {
        if (name.find('\0') != std::string::npos) {
            delete opened_key;
            return fail(ERROR_INVALID_DATA, "a name holds a NUL character");
        }
        opened_key->values.push_back(served(name, member));
    }
    std::lock_guard<std::mutex> lock(open_keys_mutex);
    open_keys.insert(opened_key);
    *result = static_cast<HKEY>(opened_key);
    return ERROR_SUCCESS;
}

LSTATUS RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD name_length, LPDWORD, LPDWORD type,
                      LPBYTE data, LPDWORD data_size) {
    PolicyKey* policy = opened(key);
    if (policy == nullptr) return static_cast<LSTATUS>(ERROR_INVALID_DATA);
    if (index >= policy->values.size()) return static_cast<LSTATUS>(ERROR_NO_MORE_ITEMS);
    const Value& value = policy->values[index];
    if (name == nullptr || name_length == nullptr) return static_cast<LSTATUS>(ERROR_INVALID_DATA);
    // The length in characters, without the terminator that must fit too.
    if (*name_length <= value.name.size()) return static_cast<LSTATUS>(ERROR_MORE_DATA);
    std::memcpy(name, value.name.c_str(), value.name.size() + 1);
    *name_length = static_cast<DWORD>(value.name.size());
    return hand_out(value, type, data, data_size);
}

LSTATUS RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data,
                         LPDWORD data_size) {
    PolicyKey* policy = opened(key);
    if (policy == nullptr || name == nullptr) return static_cast<LSTATUS>(ERROR_INVALID_DATA);
    for (const Value& value : policy->values) {
        if (_stricmp(value.name.c_str(), name) == 0) return hand_out(value, type, data, data_size);
    }
    return static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND);
}

bool registry_close_policy(HKEY key) {
    std::lock_guard<std::mutex> lock(open_keys_mutex);
    auto found = open_keys.find(static_cast<PolicyKey*>(key));
    if (found == open_keys.end()) return false;
    delete *found;
    open_keys.erase(found);
    return true;
}
