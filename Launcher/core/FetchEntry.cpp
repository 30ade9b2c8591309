#include "core/FetchEntry.h"

#include "common/RunLog.h"
#include "install/StagedFile.h"
#include "transfer/TransferLimits.h"

#include <string>

namespace {

// The window's progress for one entry over several attempts: bytes count
// once, however often they arrive, and the bytes a resumed attempt keeps
// count as soon as it goes on, so the bar never runs past its end.
class EntryProgress final : public Progress {
public:
    explicit EntryProgress(Progress& window) : window_(window) {}

    void StartAttempt(const StagedFile& file) {
        file_ = &file;
        started_ = false;
    }

    void Received(uint32_t bytes) override {
        if (!started_) {
            position_ = file_->Offset();  // known once the server has answered
            started_ = true;
        }
        position_ += bytes;
        while (position_ > counted_) {
            uint64_t step = position_ - counted_;
            uint32_t part = step > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(step);
            window_.Received(part);
            counted_ += part;
        }
    }

    bool Pump() override { return window_.Pump(); }

private:
    Progress& window_;
    const StagedFile* file_ = nullptr;
    bool started_ = false;
    uint64_t position_ = 0;
    uint64_t counted_ = 0;
};

// Waits, answering the window meanwhile; false when the run was cancelled.
bool WaitPumping(Progress& progress, uint32_t milliseconds) {
    ULONGLONG until = GetTickCount64() + milliseconds;
    for (ULONGLONG now; (now = GetTickCount64()) < until;) {
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(until - now), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (!progress.Pump()) {
            return false;
        }
    }
    return progress.Pump();
}

// About kRetryDelayMs, twice, four times: within a fifth either way.
uint32_t RetryDelay(unsigned retry, uint32_t& jittered) {
    static uint32_t state = static_cast<uint32_t>(GetTickCount64()) ^ GetCurrentProcessId();
    state = state * 1664525u + 1013904223u;
    uint32_t nominal = kRetryDelayMs << retry;
    jittered = nominal - nominal / 5 + static_cast<uint32_t>((static_cast<uint64_t>(state >> 8) * (nominal / 5 * 2 + 1)) >> 24);
    return nominal;
}

}  // namespace

bool FetchEntry(Downloader& downloader, Progress& progress, const ManifestEntry& entry, HCRYPTPROV provider) {
    if (IsStagedWhole(entry, provider, [&] { return progress.Pump(); })) {
        LogLine(L"[ OK ] Using \"%ls\" as received by an earlier run.", entry.path.c_str());
        return true;
    }
    LogLine(L"[ OK ] Downloading \"%ls\" from \"%ls\"", entry.path.c_str(), entry.src.c_str());
    uint64_t bound = entry.HasKnownSize() ? static_cast<uint64_t>(entry.size) : UINT64_MAX;
    EntryProgress counted(progress);
    for (unsigned attempt = 0;; ++attempt) {
        StagedFile file(entry, provider);
        ResumeFrom from = file.ResumePoint();
        if (from.offset > 0) {
            LogLine(L"[ OK ] Resuming \"%ls\" at byte %ls.", entry.path.c_str(), std::to_wstring(from.offset).c_str());
        }
        counted.StartAttempt(file);
        FetchOutcome outcome = downloader.FetchFile(entry.src.c_str(), file, bound, counted, from);
        if (outcome == FetchOutcome::kDone) {
            if (file.Finish()) {
                return true;
            }
            file.Discard();
            return false;
        }
        if (outcome == FetchOutcome::kCancelled) {
            file.Keep();
            return false;
        }
        if (outcome == FetchOutcome::kResumeRefused) {
            // Not this server's copy any more: the next attempt starts afresh.
            file.Discard();
        } else if (outcome != FetchOutcome::kNetworkFailure) {
            file.Discard();
            return false;
        } else {
            file.Keep();
        }
        if (attempt == kMaxRetries) {
            return false;
        }
        uint32_t wait = 0;
        uint32_t nominal = RetryDelay(attempt, wait);
        LogLine(L"[FAIL] Download of \"%ls\" failed (error %u), retrying in %u.%u s.", entry.src.c_str(),
                static_cast<unsigned>(downloader.LastError()), nominal / 1000, nominal % 1000 / 100);
        if (!WaitPumping(counted, wait)) {
            return false;
        }
    }
}
