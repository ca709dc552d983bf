// Staged releases: the share of the signed trusted comment, the machine's
// bucket, and the pass's verdict with the words that say it.
#include "update/rollout.h"

#include <sodium.h>

#include <cstring>
#include <string_view>

#include "platform/win32.h"
#include "transfer/signature.h"

namespace {

// The id that Windows gives each installation; the Linux stand-in serves
// the machine's id (its machine-id, else its host name) under the same name.
constexpr const char* machine_key = "SOFTWARE\\Microsoft\\Cryptography";
constexpr const char* machine_value = "MachineGuid";
// Far more than a GUID or a machine-id needs; a longer value is not taken.
constexpr DWORD longest_machine_id = 256;
constexpr int longest_widen_hours = 87600;  // ten years
// Times past the year 9999 are not shown; such a release is not known to open.
constexpr std::uint64_t latest_time = 253402300799ULL;

// A decimal of 1 to 6 digits at most highest; false otherwise.
bool number(const char* digits, std::size_t length, int highest, int* value) {
    if (length == 0 || length > 6) return false;
    int total = 0;
    for (std::size_t k = 0; k < length; ++k) {
        if (digits[k] < '0' || digits[k] > '9') return false;
        total = total * 10 + (digits[k] - '0');
    }
    if (total > highest) return false;
    *value = total;
    return true;
}

bool widen_field(const char* text, std::size_t length, Rollout* rollout) {
    const auto* slash = static_cast<const char*>(std::memchr(text, '/', length));
    if (slash == nullptr) return false;
    const auto percent_length = static_cast<std::size_t>(slash - text);
    return number(text, percent_length, 100, &rollout->widen_percent) &&
           number(slash + 1, length - percent_length - 1, longest_widen_hours,
                  &rollout->widen_hours) &&
           rollout->widen_hours >= 1;
}

// The machine's id; "" when it has none that can be read: its buckets then
// still differ from release to release.
std::string machine_id() {
    HKEY key = nullptr;
    // A 32-bit process must see the 64-bit view, where the id lives.
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, machine_key, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                      &key) != ERROR_SUCCESS)
        return "";
    char text[longest_machine_id + 1];
    DWORD size = longest_machine_id;
    DWORD type = REG_NONE;
    const LSTATUS read = RegQueryValueExA(key, machine_value, nullptr, &type,
                                          reinterpret_cast<BYTE*>(text), &size);
    RegCloseKey(key);
    if (read != ERROR_SUCCESS || type != REG_SZ || size > longest_machine_id) return "";
    std::string id(text, size);
    while (!id.empty() && id.back() == '\0') id.pop_back();
    return id;
}

// The version text as a sentence shows it: without the line end it may carry.
std::string shown(const char* version) {
    std::string text = version != nullptr ? version : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

}  // namespace

bool rollout_parse(const char* comment, std::size_t length, Rollout* rollout) {
    Rollout parsed;
    int rollouts = 0;
    int widens = 0;
    std::string_view field;
    for (std::size_t start = 0; signature_next_field(comment, length, &start, &field);) {
        if (field.starts_with("rollout:")) {
            if (++rollouts > 1 || !number(field.data() + 8, field.size() - 8, 100, &parsed.percent))
                return false;
        } else if (field.starts_with("widen:")) {
            if (++widens > 1 || !widen_field(field.data() + 6, field.size() - 6, &parsed))
                return false;
        }
    }
    *rollout = parsed;
    return true;
}

int rollout_share(const Rollout& rollout, std::uint64_t timestamp, std::time_t now) {
    if (rollout.percent == 0) return 0;
    std::uint64_t periods = 0;
    const auto at = static_cast<std::uint64_t>(now > 0 ? now : 0);
    if (rollout.widen_hours > 0 && at > timestamp)
        periods = (at - timestamp) / (static_cast<std::uint64_t>(rollout.widen_hours) * 3600);
    // Past 100 periods any widening has reached every machine.
    if (rollout.widen_percent > 0 && periods >= 100) return 100;
    const std::uint64_t share = rollout.percent + rollout.widen_percent * periods;
    return share > 100 ? 100 : static_cast<int>(share);
}

std::time_t rollout_opens_at(const Rollout& rollout, std::uint64_t timestamp, int bucket) {
    if (rollout.percent == 0) return 0;
    if (rollout.percent > bucket) return static_cast<std::time_t>(timestamp);
    if (rollout.widen_percent == 0 || rollout.widen_hours == 0) return 0;
    // The first whole period after which the share exceeds the bucket.
    const std::uint64_t periods =
        static_cast<std::uint64_t>((bucket - rollout.percent) / rollout.widen_percent + 1);
    const std::uint64_t period = static_cast<std::uint64_t>(rollout.widen_hours) * 3600;
    if (timestamp > latest_time || periods * period > latest_time - timestamp) return 0;
    return static_cast<std::time_t>(timestamp + periods * period);
}

int rollout_bucket(const Policy& policy, const char* package, const char* version) {
    if (policy.rollout_bucket >= 0) return policy.rollout_bucket;
    std::string hashed = machine_id();
    hashed.push_back('\0');
    hashed += package;
    hashed.push_back('\0');
    hashed += version != nullptr ? version : "";
    unsigned char hash[crypto_generichash_BYTES];
    if (sodium_init() < 0) return 0;
    crypto_generichash(hash, sizeof hash, reinterpret_cast<const unsigned char*>(hashed.data()),
                       hashed.size(), nullptr, 0);
    std::uint64_t value = 0;
    for (int k = 7; k >= 0; --k) value = value << 8 | hash[k];
    return static_cast<int>(value % 100);
}

RolloutDecision rollout_decide(const Rollout& rollout, std::uint64_t timestamp, std::time_t now,
                               const Policy& policy, bool scheduled, const char* package,
                               const char* version) {
    RolloutDecision decision;
    const std::string release = std::string(package) + " " + shown(version);
    if (rollout.percent == 0) {
        decision.verdict = RolloutVerdict::halted;
        decision.message = release + " halted by its publisher: staged rollout at 0%.";
        return decision;
    }
    const int share = rollout_share(rollout, timestamp, now);
    // Every machine's: no need to know which this one is.
    if (share == 100) return decision;
    const int bucket = rollout_bucket(policy, package, version);
    if (share > bucket) return decision;
    const std::string where = std::to_string(share) + "% of machines so far, this machine at " +
                              std::to_string(bucket) + ".";
    if (!scheduled) {
        decision.verdict = RolloutVerdict::take_ahead;
        decision.message =
            release + " taken by a manual pass ahead of its staged rollout: " + where;
        return decision;
    }
    decision.verdict = RolloutVerdict::held;
    decision.opens_at = rollout_opens_at(rollout, timestamp, bucket);
    decision.message = release + " held by staged rollout: " + where;
    return decision;
}
