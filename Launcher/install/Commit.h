// Moving staged files over their targets as one step: every target is
// replaced, or none is, and a run killed midway is completed by the next.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Replacement {
    std::wstring staged;  // relative paths
    std::wstring target;
};

// Writes a journal of the moves, moves each existing target aside (into the
// staging folder), then each staged file into place; on a failure puts back
// what it moved and logs the target and the Windows error. The files moved
// aside are deleted afterwards where they can be (a running executable
// cannot: the next start removes it).
bool CommitReplacements(const std::vector<Replacement>& replacements);

// Run first at every start, online or offline: completes the moves of a
// journal a killed run left (its staged files were all verified before it was
// written), then removes what earlier commits moved aside. True when it
// completed a commit.
bool FinishInterruptedCommit();

// True when the install's volume has room for bytes more; logs a [FAIL] line
// when it has not. A volume that cannot be asked is given the benefit.
bool HasRoomFor(uint64_t bytes);
