// A stale entry's new content, received into the staging folder rather than
// over the working file, and digested as it is written (one pass over the
// bytes, while the worker reads the next block).
#pragma once

#include "common/ByteSink.h"
#include "common/Handles.h"
#include "manifest/Digest.h"
#include "manifest/Manifest.h"

#include <string>

// Where an entry's path is staged: a name derived from the path, so that the
// same entry lands in the same place run after run.
std::wstring StagingPathFor(const std::wstring& relativeTarget);

// Deletes a staged file that will not be moved into place.
void DeleteStagedFile(const std::wstring& stagedPath);

// True when an earlier run (failed or cancelled after it arrived) left this
// entry's new content staged whole: it need not be fetched again.
bool IsStagedWhole(const ManifestEntry& entry, HCRYPTPROV provider);

// Deletes staged files that no stale entry of the manifest will use.
void PruneStaging(const Manifest& manifest);

class StagedFile final : public ByteSink {
public:
    // provider as for Digest::Start; the entry must outlive this object.
    StagedFile(const ManifestEntry& entry, HCRYPTPROV provider);
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // Creates the target's directories (logging any it made, as a write in
    // place would) and the staging file.
    bool Open() override;
    bool Write(const BYTE* data, DWORD count) override;
    // Closes the file; true when it holds exactly the entry's size (when
    // known) and digest(s).
    bool Finish();
    // Closes and deletes the staging file.
    void Discard();

    const std::wstring& Path() const { return stagedPath_; }

private:
    const ManifestEntry& entry_;
    HCRYPTPROV provider_;
    std::wstring stagedPath_;
    ScopedFileHandle file_;
    Digest digest_;
};
