// Every stale entry's new content into the staging folder, up to
// kParallelTransfers at once, each on a thread and a connection of its own.
// The window's thread hands the entries out in manifest order, counts their
// bytes on the bar, answers Cancel, and writes their log lines as if they had
// been fetched one at a time.
#pragma once

#include "common/Progress.h"
#include "manifest/Manifest.h"
#include "transfer/Downloader.h"

#include <windows.h>
#include <wincrypt.h>

#include <vector>

// Fetches each entry (FetchEntry), also after one failed or the run was
// cancelled (those then end at once); the result says, entry by entry,
// whether its content is staged whole. An entry naming the same file as an
// earlier one with the same digests is not fetched again ("as received for an
// earlier entry"); two entries for one file never run at once. window is
// pumped and told every byte on this thread only.
std::vector<bool> FetchAll(Downloader& downloader, Progress& window, const std::vector<const ManifestEntry*>& entries,
                           HCRYPTPROV provider);
