// One stale entry's new content into the staging folder, over a line that
// may be cut: what an earlier attempt or run left is resumed, and a transfer
// the network cut is tried again.
#pragma once

#include "common/Progress.h"
#include "manifest/Manifest.h"
#include "transfer/Downloader.h"

#include <windows.h>
#include <wincrypt.h>

// True when the entry's content is staged whole (its size and digests
// checked): taken as an earlier run left it, or fetched, resuming a partial
// copy the server still identifies, and after a network failure fetched
// again (resuming) after about 1, 2 and 4 s, at most three times. A resumed
// copy whose digest is wrong is fetched once more from the start; a body read
// whole whose digest is wrong is not tried again: the server is consistently
// wrong. Cancel, also during a wait, ends it at once; what arrived is kept
// for a later attempt or run, dropped only when the server or the digest
// says it is not this content.
bool FetchEntry(Downloader& downloader, Progress& progress, const ManifestEntry& entry, HCRYPTPROV provider);
