// What the machine policy makes a pass do with one package.
#include "update/policy_decide.h"

#include <cstring>

#include "platform/win32.h"
#include "update/package_update.h"

namespace {

// The policy's entry for "<prefix><package>", names compared as the
// registry compares them; nullptr when there is none.
template <typename Map>
const typename Map::value_type* entry_for(const Map& entries, const char* prefix,
                                          const char* package) {
    const std::string wanted = std::string(prefix) + package;
    for (const auto& entry : entries) {
        if (_stricmp(entry.first.c_str(), wanted.c_str()) == 0) return &entry;
    }
    return nullptr;
}

}  // namespace

const char* policy_server(const Policy& policy) {
    return policy.update_server_url.empty() ? update_base_url() : policy.update_server_url.c_str();
}

std::string policy_passed_over(const Policy& policy, const char* package, bool scheduled) {
    int mode = policy.update_default;
    std::string name = "UpdateDefault";
    if (const auto* own = entry_for(policy.update_modes, "Update.", package)) {
        mode = own->second;
        name = own->first;
    }
    if (mode == 0) return "Updates of " + std::string(package) + " turned off by policy (" + name + ").";
    if (mode == 2 && scheduled)
        return std::string(package) + " is updated by manual passes only, by policy (" + name + ").";
    return "";
}

std::string policy_held(const Policy& policy, const char* package, const char* version) {
    const auto* prefix = entry_for(policy.target_version_prefixes, "TargetVersionPrefix.", package);
    if (prefix == nullptr) return "";
    const std::string& wanted = prefix->second;
    // The prefix as given ends the sentence: "2." is the usual one.
    const std::string rule = prefix->first + " is " + wanted;
    if (version == nullptr)
        return std::string(package) + " held by policy: its version is not known, and " + rule;
    // Letters compare as in the version record, case folded.
    if (std::strlen(version) >= wanted.size() &&
        _strnicmp(version, wanted.c_str(), wanted.size()) == 0)
        return "";
    std::string shown = version;
    if (!shown.empty() && shown.back() == '\n') shown.pop_back();
    if (!shown.empty() && shown.back() == '\r') shown.pop_back();
    return std::string(package) + " " + shown + " held by policy: " + rule;
}
