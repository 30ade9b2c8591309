// A stale entry's new content, received into the staging folder rather than
// over the working file, and digested as it is written (one pass over the
// bytes, while the worker reads the next block).
#pragma once

#include "common/ByteSink.h"
#include "transfer/Downloader.h"
#include "common/Handles.h"
#include "manifest/Digest.h"
#include "manifest/Manifest.h"

#include <functional>
#include <string>

// Where an entry's path is staged: a name derived from the path as Windows
// compares names (any case, either separator), so that the same target lands
// in the same place run after run, however the manifest spells it.
std::wstring StagingPathFor(const std::wstring& relativeTarget);

// True when two relative paths name the same file on Windows.
bool IsSameTarget(const std::wstring& a, const std::wstring& b);

// Deletes a staged file that will not be moved into place.
void DeleteStagedFile(const std::wstring& stagedPath);

// True when an earlier run (failed or cancelled after it arrived) left this
// entry's new content staged whole: it need not be fetched again. pump runs
// between the blocks of its digest; its false (a cancellation) ends it.
bool IsStagedWhole(const ManifestEntry& entry, HCRYPTPROV provider, const std::function<bool()>& pump);

// Deletes staged files that no stale entry of the manifest will use (never the
// journal or the old copies a commit moved aside: the commit owns those).
void PruneStaging(const Manifest& manifest);

// The bytes the stale entries still need on disk: their sizes less what is
// already staged for them (whole or resumable), each target counted once.
uint64_t BytesToFetch(const Manifest& manifest);

class StagedFile final : public ByteSink {
public:
    // provider as for Digest::Start; the entry must outlive this object.
    // pump runs between the blocks of a resumed copy's kept bytes, which are
    // digested again; its false (a cancellation) ends the open.
    StagedFile(const ManifestEntry& entry, HCRYPTPROV provider, std::function<bool()> pump = nullptr);
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // Where a transfer may resume: the length of a partial copy an earlier
    // attempt left, with the server's validator (may be "": the manifest's
    // digests still identify the content), when the identity kept beside it
    // (Path() + ".info": the entry's path, size and digests, and the
    // validator) is this entry's; else offset 0. A partial of another entry,
    // or of this path with other content, is deleted.
    ResumeFrom ResumePoint();

    // Creates the staging file (the target's folders are the caller's
    // business, made before the transfer starts), or, for a resumed answer, keeps the
    // partial copy's first answer.offset bytes (digesting them) and appends.
    // The identity is written beside a file worth resuming.
    bool Open(const Answer& answer) override;
    bool Write(const BYTE* data, DWORD count) override;
    // The bytes the copy held before this transfer's first block.
    uint64_t Offset() const { return offset_; }
    // Closes the file; true when it holds exactly the entry's size (when
    // known) and digest(s).
    bool Finish();
    // Closes the file and keeps what arrived, for a later attempt or run:
    // a failure, a refusal or a Cancel says nothing against those bytes. (The
    // start of a file too small to be resumed, written by this transfer, goes.)
    void Keep();
    // Closes and deletes the staging file and its identity.
    void Discard();

    const std::wstring& Path() const { return stagedPath_; }

private:
    bool OpenResumed(const std::wstring& fullPath, uint64_t offset);
    std::wstring Identity(const std::wstring& validator) const;

    const ManifestEntry& entry_;
    HCRYPTPROV provider_;
    std::function<bool()> pump_;
    std::wstring stagedPath_;
    ScopedFileHandle file_;
    Digest digest_;
    uint64_t offset_ = 0;
    bool opened_ = false;
    bool identified_ = false;
    bool cancelled_ = false;
};
