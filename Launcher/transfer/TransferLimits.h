// Every bound a transfer keeps. Under Wine WinINet's own time-outs do
// nothing and redirects are followed without end, so these are the
// launcher's own; a test build may shorten the time and size bounds
// through CMake cache variables (LauncherConfig.h).
#pragma once

#include "common/LauncherConfig.h"

#include <cstdint>

// Silence from the server that fails a transfer: WinINet's receive default.
constexpr uint32_t kStallLimitMs = LAUNCHER_STALL_LIMIT_MS;
// The manifest shows no window and cannot be cancelled, so all of it must
// arrive within this time.
constexpr uint32_t kManifestDeadlineMs = LAUNCHER_MANIFEST_DEADLINE_MS;
// Far above any real manifest (about 200 bytes an entry), far below a disk.
constexpr uint32_t kManifestSizeCap = LAUNCHER_MANIFEST_SIZE_CAP;
// Files in flight at once, each on a connection of its own (kept alive for
// the next file): 1 fetches one file at a time.
constexpr unsigned kParallelTransfers = LAUNCHER_PARALLEL_TRANSFERS;
// Abandoned worker threads still waiting for a silent server at once; past
// them a transfer fails at once, since each holds its stack and two blocks
// of address space until the server hangs up. Every file in flight may be
// abandoned at the same moment, so the bound grows with them (4 for one).
constexpr unsigned kMaxStalledWorkers = 3 + kParallelTransfers;
// A file's transfer cut by the network is tried again after this, then twice
// and four times as long (with some jitter, so that many launchers cut by one
// outage do not return at once), at most kMaxRetries times.
constexpr uint32_t kRetryDelayMs = LAUNCHER_RETRY_DELAY_MS;
constexpr unsigned kMaxRetries = 3;
// Hops per transfer; a loop then fails within seconds.
constexpr unsigned kMaxRedirects = 10;

// The most one read takes (see NetworkWorker::Read for how much it asks; a
// read waits for all of it, so it only asks for this much of a server fast
// enough to send it in a tenth of a second). Under Wine each read, write and
// handoff between the threads has a fixed cost: 1 MiB blocks took a 256 MiB
// download from 2.4 s to 1.6 s against 256 KiB ones. Two of them are held
// (one read while the other is written), whatever the file's size.
constexpr uint32_t kTransferBlockSize = 1024 * 1024;
// How long the window may go unpumped while a call is outstanding: short
// enough for Cancel to answer at once, long enough that a fast transfer
// does not pay for a message check per wait.
constexpr uint32_t kQuietWaitMs = 100;
