// The state file: read at the start of a pass, replaced after each package and
// at the end, and told by the `status` word.
#include "report/status.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/win32.h"
#include "report/report.h"

namespace {

using Json = nlohmann::ordered_json;

constexpr const char* temporary_suffix = ".new";
constexpr const char* state_names[] = {"up-to-date", "installed", "failed",
                                       "pending",    "held",      "disabled"};
// A rename over the file can fail for a moment while `status` reads it.
constexpr int rename_attempts = 5;
constexpr DWORD rename_pause_ms = 20;

// The pass's own copy of the file, and the packages it has named so far.
Json document;
std::set<std::string> named;
// The replacements after each package cost the time to write the whole file:
// with a long list of quick packages (all up to date) that would grow with
// the square of the list. A package whose state stays as it was is written
// only once the pass has gone on for ten times what the last write took,
// so the file costs a pass no more than a tenth; a package whose state
// changed, and the pass's end, are written at once.
using Clock = std::chrono::steady_clock;
constexpr int write_cost_share = 10;
Clock::time_point last_write_end;
Clock::duration last_write_cost{};

// Beside the pass, for a pass of a service: 0 none known yet.
std::time_t next_pass = 0;
bool next_pass_known = false;

Json fresh_document() {
    Json fresh = Json::object();
    fresh["schema"] = 1;
    fresh["updated"] = nullptr;
    fresh["next_pass"] = nullptr;
    fresh["policy"] = {{"source", nullptr}, {"valid", true}, {"error", nullptr}};
    fresh["packages"] = Json::object();
    return fresh;
}

// The file as it stands; a missing or damaged one, or one of another
// schema, comes back afresh (*found false).
Json read_document(bool* found) {
    *found = false;
    std::FILE* file = std::fopen(status_path, "rb");
    if (file == nullptr) return fresh_document();
    std::string text;
    char chunk[4096];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) text.append(chunk, got);
    std::fclose(file);
    Json read = Json::parse(text, nullptr, false);
    if (!read.is_object() || read.value("schema", Json()) != 1 || !read.contains("packages") ||
        !read["packages"].is_object())
        return fresh_document();
    *found = true;
    return read;
}

// Written beside the file, then renamed over it: a reader sees the old file
// or the new one. Durable: on disk before the rename, and the rename on disk
// too, so a power cut leaves the one or the other as well; the replacements
// after each package are not (a file damaged by a power cut is started
// afresh, and the pass's last replacement is durable). A failure leaves the
// old file; the next write tries again.
void write_document(const Json& written, bool durable) {
    const std::string text =
        written.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
    const std::string temporary = std::string(status_path) + temporary_suffix;
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) return;
    bool done = std::fwrite(text.data(), 1, text.size(), file) == text.size() &&
                std::fflush(file) == 0 && (!durable || _commit(_fileno(file)) == 0);
    if (std::fclose(file) != 0) done = false;
    const DWORD flags = MOVEFILE_REPLACE_EXISTING | (durable ? MOVEFILE_WRITE_THROUGH : 0);
    for (int attempt = 1; done; ++attempt) {
        if (MoveFileExA(temporary.c_str(), status_path, flags)) return;
        if (attempt >= rename_attempts) break;
        Sleep(rename_pause_ms);
    }
    _unlink(temporary.c_str());
}

Json time_or_null(std::time_t when) { return when == 0 ? Json() : Json(status_time(when)); }

void stamp(Json& written) {
    written["updated"] = status_time(std::time(nullptr));
    if (next_pass_known) written["next_pass"] = time_or_null(next_pass);
}

// A member's text; "" when it is missing, null or no text.
std::string text_of(const Json& entry, const char* member) {
    const auto found = entry.find(member);
    return found != entry.end() && found->is_string() ? found->get<std::string>() : "";
}

}  // namespace

std::string status_time(std::time_t when) {
    const std::tm* utc = std::gmtime(&when);
    char text[32] = "";
    if (utc != nullptr) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", utc);
    return text;
}

bool status_parse_time(const std::string& text, std::time_t* when) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    char end = '\0';
    if (text.size() != 20 || std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &year, &month,
                                         &day, &hour, &minute, &second, &end) != 7 ||
        end != 'Z' || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 ||
        minute > 59 || second > 60)
        return false;
    // Days since 1970-01-01 of the civil date, the year taken from March on.
    const int y = year - (month <= 2);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int year_of_era = y - era * 400;
    const int day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    const long long days = era * 146097LL + day_of_era - 719468;
    *when = static_cast<std::time_t>(days * 86400 + hour * 3600 + minute * 60 + second);
    return true;
}

void status_begin_pass(const std::string& policy_source, bool policy_valid,
                       const std::string& policy_error) {
    bool found = false;
    document = read_document(&found);
    named.clear();
    document["policy"] = {{"source", policy_source},
                          {"valid", policy_valid},
                          {"error", policy_valid ? Json() : Json(policy_error)}};
}

void status_end_package(const char* name, const PackageStatus& status) {
    const std::time_t now = std::time(nullptr);
    Json& entry = document["packages"][name];
    if (!entry.is_object()) entry = Json::object();
    const std::string state_before = text_of(entry, "state");
    for (const char* member : {"installed", "available", "state", "last_check", "last_success",
                               "pending_since", "held_until", "message", "first_check"}) {
        if (!entry.contains(member)) entry[member] = nullptr;
    }
    entry["installed"] = status.installed ? Json(*status.installed) : Json();
    entry["state"] = state_names[static_cast<int>(status.state)];
    entry["held_until"] =
        status.state == PackageState::held ? time_or_null(status.held_until) : Json();
    if (status.checked) {
        entry["available"] = status.available ? Json(*status.available) : Json();
        entry["last_check"] = status_time(now);
        // What a package that never had a successful check is judged from.
        if (!entry["first_check"].is_string()) entry["first_check"] = status_time(now);
    }
    if (status.succeeded) entry["last_success"] = status_time(now);
    if (status.state != PackageState::pending)
        entry["pending_since"] = nullptr;
    else if (!entry["pending_since"].is_string())
        entry["pending_since"] = status_time(now);
    entry["message"] = report_last_message();
    named.insert(name);
    const Clock::time_point started = Clock::now();
    if (state_before == state_names[static_cast<int>(status.state)] &&
        started - last_write_end < write_cost_share * last_write_cost)
        return;
    stamp(document);
    write_document(document, false);
    last_write_end = Clock::now();
    last_write_cost = last_write_end - started;
}

void status_end_pass(bool list_read) {
    if (list_read) {
        Json& packages = document["packages"];
        std::vector<std::string> dropped;
        for (const auto& item : packages.items()) {
            if (named.count(item.key()) == 0) dropped.push_back(item.key());
        }
        for (const std::string& name : dropped) packages.erase(name);
    }
    stamp(document);
    write_document(document, true);
}

void status_set_next_pass(std::time_t when) {
    next_pass = when;
    next_pass_known = true;
    bool found = false;
    Json written = read_document(&found);
    if (!found) return;
    written["next_pass"] = time_or_null(when);
    write_document(written, true);
}

int status_show(long long period_ms) {
    bool found = false;
    std::FILE* present = std::fopen(status_path, "rb");
    if (present == nullptr) {
        std::printf("UNKNOWN: no state file %s yet: no update pass has run\n", status_path);
        return 3;
    }
    std::fclose(present);
    const Json shown = read_document(&found);
    if (!found) {
        std::printf("UNKNOWN: state file %s damaged; the next pass writes it afresh\n", status_path);
        return 3;
    }
    const std::time_t now = std::time(nullptr);
    int result = 0;
    std::vector<std::string> problems;
    std::string lines;
    const Json& policy = shown.value("policy", Json::object());
    if (policy.is_object() && policy.value("valid", Json(true)) == false) {
        problems.push_back("policy not valid: " + text_of(policy, "error"));
        result = 2;
    }
    for (const auto& item : shown["packages"].items()) {
        const Json& entry = item.value();
        if (!entry.is_object()) continue;
        const std::string state = text_of(entry, "state");
        const std::string success = text_of(entry, "last_success");
        std::time_t since = 0;
        const bool judged = period_ms > 0 && state != "disabled" &&
                            status_parse_time(success.empty() ? text_of(entry, "first_check")
                                                              : success,
                                              &since);
        if (judged && (now - since) * 1000LL > 3 * period_ms) {
            problems.push_back(item.key() + " had no successful check since " +
                               (success.empty() ? "its first, " + text_of(entry, "first_check")
                                                : success));
            result = 2;
        } else if (state != "up-to-date" && state != "installed" && state != "held" &&
                   state != "disabled") {
            problems.push_back(item.key() + " " + (state.empty() ? "in no known state" : state));
            if (result == 0) result = 1;
        }
        const auto shown_text = [&](const char* member, const char* none) {
            std::string value = text_of(entry, member);
            while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
            return entry.contains(member) && entry[member].is_string() ? value : std::string(none);
        };
        // A release held by a staged rollout says when it will be taken.
        const std::string until = text_of(entry, "held_until");
        const std::string shown_state = state.empty() ? "unknown"
                                        : state == "held" && !until.empty() ? "held until " + until
                                                                            : state;
        lines += item.key() + ": installed " + shown_text("installed", "none") + ", available " +
                 shown_text("available", "unknown") + ", " + shown_state +
                 ", last success " + shown_text("last_success", "never") + ": " +
                 text_of(entry, "message") + "\n";
    }
    const char* levels[] = {"OK", "WARNING", "CRITICAL"};
    std::string summary;
    for (const std::string& problem : problems) summary += (summary.empty() ? "" : "; ") + problem;
    if (summary.empty())
        summary = std::to_string(shown["packages"].size()) +
                  " packages up to date, installed, held or disabled";
    const std::string next = text_of(shown, "next_pass");
    std::printf("%s: %s\n%sNext pass: %s\n", levels[result], summary.c_str(), lines.c_str(),
                next.empty() ? "none scheduled" : next.c_str());
    return result;
}
