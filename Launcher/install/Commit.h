// Moving staged files over their targets as one step: every target is
// replaced, or none is, and a run killed midway is completed by the next.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct Replacement {
    std::wstring staged;  // relative paths
    std::wstring target;
};

// Waits the given time while a held file may be let go; false when the user
// cancelled meanwhile.
using Waiter = std::function<bool(uint32_t milliseconds)>;
// Sleeps: where no window answers.
bool SleepFor(uint32_t milliseconds);

// Writes a journal of the moves (the staged files were flushed when they
// arrived), moves each existing target aside (into the staging folder), then
// each staged file into place, the running executable last and in one step;
// a target held by another program is tried again for about 10 s. On a
// failure, or a Cancel during such a wait, puts back what it moved and logs
// the target and the Windows error; a folder where a file must go fails it
// before anything moves. The old copies are deleted afterwards where they
// can be (a running executable cannot: the next start removes it).
bool CommitReplacements(const std::vector<Replacement>& replacements, const Waiter& wait = SleepFor);

// Run first at every start, online or offline: completes the moves of a
// journal a killed run left (its staged files were all verified before it was
// written), then removes what earlier commits moved aside. True when it
// completed a commit. A move that fails is logged and the journal kept, with
// every old copy, for the next start; no target is left missing.
bool FinishInterruptedCommit(const Waiter& wait = SleepFor);

// True when the install's volume has room for bytes more; logs a [FAIL] line
// when it has not. A volume that cannot be asked is given the benefit.
bool HasRoomFor(uint64_t bytes);
