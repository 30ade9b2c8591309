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
    auto pump = [&] { return progress.Pump(); };
    if (IsStagedWhole(entry, provider, pump)) {
        LogLine(L"[ OK ] Using \"%ls\" as received by an earlier run.", entry.path.c_str());
        return true;
    }
    LogLine(L"[ OK ] Downloading \"%ls\" from \"%ls\"", entry.path.c_str(), entry.src.c_str());
    uint64_t bound = entry.HasKnownSize() ? static_cast<uint64_t>(entry.size) : UINT64_MAX;
    EntryProgress counted(progress);
    unsigned retries = 0;
    bool resumed = false;    // some bytes of the copy came from an earlier request
    bool refetched = false;  // a resumed copy that failed its digest was fetched again
    for (;;) {
        StagedFile file(entry, provider, pump);
        ResumeFrom from = file.ResumePoint();
        if (from.offset > 0) {
            LogLine(L"[ OK ] Resuming \"%ls\" at byte %ls.", entry.path.c_str(), std::to_wstring(from.offset).c_str());
        }
        counted.StartAttempt(file);
        FetchOutcome outcome = downloader.FetchFile(entry.src.c_str(), file, bound, counted, from);
        resumed = resumed || file.Offset() > 0;
        switch (outcome) {
        case FetchOutcome::kDone:
            if (file.Finish()) {
                return true;
            }
            file.Discard();
            // Bytes kept from an earlier request may be of another upload (a
            // server without a validator cannot say): once more, whole.
            if (!resumed || refetched) {
                return false;
            }
            LogLine(L"[FAIL] \"%ls\" did not match its digest after resuming; downloading it again from the start.",
                    entry.path.c_str());
            resumed = false;
            refetched = true;
            continue;
        case FetchOutcome::kResumeRefused:
            // Not this server's copy any more: at once, from the start.
            file.Discard();
            continue;
        case FetchOutcome::kTooLarge:
            file.Discard();
            return false;
        case FetchOutcome::kNetworkFailure:
            file.Keep();
            break;
        default:
            // Cancelled, or a failure another attempt would meet too: what
            // arrived stays for the next run.
            file.Keep();
            return false;
        }
        if (retries == kMaxRetries) {
            return false;
        }
        uint32_t wait = 0;
        uint32_t nominal = RetryDelay(retries++, wait);
        LogLine(L"[FAIL] Download of \"%ls\" failed (error %u), retrying in %u.%u s.", entry.src.c_str(),
                static_cast<unsigned>(downloader.LastError()), nominal / 1000, nominal % 1000 / 100);
        if (!WaitAnswering(counted, wait)) {
            return false;
        }
    }
}
