// One running copy of the launcher per session.
#pragma once

#include "common/Handles.h"

// True when no other copy runs; guard then holds the named mutex, whose
// existence is the guard (it is never waited on), until it is closed. A
// mutex that can be neither created nor opened (another copy made it with
// rights this one lacks, say) counts as another copy: running unguarded
// beside it would truncate its log and race its downloads.
bool AcquireInstanceGuard(ScopedHandle& guard);
