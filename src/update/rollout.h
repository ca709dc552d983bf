// Staged releases: the share of machines that a release's signed trusted
// comment offers it to now, this machine's bucket, and what a pass does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "update/policy.h"

// The rollout fields of a trusted comment. Without a "rollout:" field a
// release goes to every machine.
struct Rollout {
    int percent = 100;        // rollout:<percent>, 0 to 100; 0 halts the release
    int widen_percent = 0;    // widen:<percent>/<hours>: points added per period
    int widen_hours = 0;      // 0: never widened
};

// The fields of the comment (tab-separated): at most one "rollout:" and at
// most one "widen:"; false when a field is given twice, is no decimal
// number, or lies out of range (percent 0 to 100, hours 1 to 87600).
bool rollout_parse(const char* comment, std::size_t length, Rollout* rollout);

// The share of machines (0 to 100) that the release is offered to at now,
// counted from the signature's timestamp in whole periods; a timestamp in
// the future counts no period. A halted release: 0.
int rollout_share(const Rollout& rollout, std::uint64_t timestamp, std::time_t now);

// When the share first exceeds bucket; 0 when it never will (halted, or no
// more widening to come).
std::time_t rollout_opens_at(const Rollout& rollout, std::uint64_t timestamp, int bucket);

// This machine's bucket (0 to 99) for a release: the policy's RolloutBucket
// when given, else from a hash of the machine's id, the package name and the
// version text, so that each release starts on other machines.
int rollout_bucket(const Policy& policy, const char* package, const char* version);

enum class RolloutVerdict { take, take_ahead, held, halted };

struct RolloutDecision {
    RolloutVerdict verdict = RolloutVerdict::take;
    std::time_t opens_at = 0;  // held: when it will be taken (0: not known to come)
    std::string message;       // "" for a plain take
};

// What a pass does with the release: a machine whose bucket (as
// rollout_bucket has it) lies within the share takes it; a manual pass takes
// any release not halted, ahead of its rollout; a halted release is taken by
// no pass. Version as the server sent it.
RolloutDecision rollout_decide(const Rollout& rollout, std::uint64_t timestamp, std::time_t now,
                               const Policy& policy, bool scheduled, const char* package,
                               const char* version);
