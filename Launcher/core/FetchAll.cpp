#include "core/FetchAll.h"

#include "common/FileHelpers.h"
#include "common/Handles.h"
#include "common/RunLog.h"
#include "core/FetchEntry.h"
#include "install/StagedFile.h"
#include "transfer/TransferLimits.h"

#include <cwchar>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>

namespace {

// What a lane tells the window's thread about the entry it fetches.
struct Event {
    enum Kind { kLine, kBytes, kDone };
    size_t entry;
    Kind kind;
    std::wstring line;
    uint32_t bytes;
    bool ok;
};

// Put by any lane, taken by the window's thread.
class EventQueue {
public:
    EventQueue() : ready_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) { InitializeCriticalSection(&lock_); }
    ~EventQueue() { DeleteCriticalSection(&lock_); }
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    bool IsValid() const { return ready_.IsValid(); }
    HANDLE Ready() const { return ready_.Get(); }

    void Put(Event event) {
        EnterCriticalSection(&lock_);
        events_.push_back(std::move(event));
        LeaveCriticalSection(&lock_);
        SetEvent(ready_.Get());
    }

    std::vector<Event> TakeAll() {
        std::vector<Event> taken;
        EnterCriticalSection(&lock_);
        taken.swap(events_);
        LeaveCriticalSection(&lock_);
        return taken;
    }

private:
    CRITICAL_SECTION lock_;
    ScopedHandle ready_;
    std::vector<Event> events_;
};

// A thread that fetches one entry at a time with a Downloader of its own (a
// connection kept alive from one entry to the next). Its progress and its log
// lines become events; a Cancel reaches it through an event it polls.
class Lane final : public Progress, public LogLines {
public:
    Lane(SharedSession* session, EventQueue& events, HANDLE cancelled, HCRYPTPROV provider)
        : downloader_(session), events_(events), cancelled_(cancelled), provider_(provider) {}
    Lane(const Lane&) = delete;
    Lane& operator=(const Lane&) = delete;
    ~Lane() { Stop(); }

    bool Start() {
        wake_.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        if (wake_.IsValid()) {
            thread_.Reset(CreateThread(nullptr, 0, Run, this, 0, nullptr));
        }
        return thread_.IsValid();
    }

    // The lane is idle: the event orders these writes before its reads.
    void Give(size_t index, const ManifestEntry& entry) {
        index_ = index;
        entry_ = &entry;
        SetEvent(wake_.Get());
    }

    void Stop() {
        if (thread_.IsValid()) {
            stop_ = true;
            SetEvent(wake_.Get());
            WaitForSingleObject(thread_.Get(), INFINITE);
            thread_.Close();
        }
    }

    void Received(uint32_t bytes) override { events_.Put({index_, Event::kBytes, std::wstring(), bytes, false}); }
    bool Pump() override { return WaitForSingleObject(cancelled_, 0) != WAIT_OBJECT_0; }
    void Add(std::wstring line) override { events_.Put({index_, Event::kLine, std::move(line), 0, false}); }

private:
    static DWORD WINAPI Run(void* parameter) {
        Lane& lane = *static_cast<Lane*>(parameter);
        RedirectLogLines(&lane);
        for (;;) {
            WaitForSingleObject(lane.wake_.Get(), INFINITE);
            if (lane.stop_) {
                return 0;
            }
            bool ok = FetchEntry(lane.downloader_, lane, *lane.entry_, lane.provider_);
            lane.events_.Put({lane.index_, Event::kDone, std::wstring(), 0, ok});
        }
    }

    Downloader downloader_;
    EventQueue& events_;
    HANDLE cancelled_;
    HCRYPTPROV provider_;
    ScopedHandle wake_;
    ScopedHandle thread_;
    size_t index_ = 0;
    const ManifestEntry* entry_ = nullptr;
    bool stop_ = false;
};

// A window thread's own lines kept for an entry instead of written.
class LineBuffer final : public LogLines {
public:
    void Add(std::wstring line) override { lines.push_back(std::move(line)); }
    std::vector<std::wstring> lines;
};

// One entry's state, as the window's thread sees it.
struct Slot {
    std::vector<std::wstring> lines;
    std::vector<std::wstring> folders;  // "Created directory" lines, after the entry's first
    size_t written = 0;
    bool started = false;
    bool done = false;
    bool ok = false;
};

bool SameContent(const ManifestEntry& a, const ManifestEntry& b) {
    return _wcsicmp(a.md5.c_str(), b.md5.c_str()) == 0 && _wcsicmp(a.sha256.c_str(), b.sha256.c_str()) == 0;
}

}  // namespace

std::vector<bool> FetchAll(Downloader& downloader, Progress& window, const std::vector<const ManifestEntry*>& entries,
                           HCRYPTPROV provider) {
    const size_t count = entries.size();
    std::vector<Slot> slots(count);
    EventQueue events;
    ScopedHandle cancelled(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<std::unique_ptr<Lane>> lanes;
    std::vector<Lane*> idle;
    size_t wanted = count < kParallelTransfers ? count : kParallelTransfers;
    for (size_t i = 0; i < wanted && events.IsValid() && cancelled.IsValid(); ++i) {
        std::unique_ptr<Lane> lane(new (std::nothrow) Lane(downloader.Shared(), events, cancelled.Get(), provider));
        if (!lane || !lane->Start()) {
            break;
        }
        idle.push_back(lane.get());
        lanes.push_back(std::move(lane));
    }
    std::vector<bool> result(count, false);
    if (lanes.empty() && count > 0) {
        LogLine(L"[FAIL] Failed to start a transfer (error %u).", static_cast<unsigned>(GetLastError()));
        return result;
    }
    std::vector<Lane*> laneOf(count, nullptr);
    // The last entry handed out for each staged copy.
    std::unordered_map<std::wstring, size_t> lastFor;
    size_t next = 0;     // the next entry to hand out
    size_t written = 0;  // entries whose lines are all in the log
    bool cancelSent = false;
    while (written < count) {
        // What the lanes said first, so that a lane just freed takes the next entry at once.
        for (Event& event : events.TakeAll()) {
            Slot& slot = slots[event.entry];
            if (event.kind == Event::kBytes) {
                window.Received(event.bytes);
            } else if (event.kind == Event::kLine) {
                slot.lines.push_back(std::move(event.line));
                if (slot.lines.size() == 1) {
                    slot.lines.insert(slot.lines.end(), slot.folders.begin(), slot.folders.end());
                }
            } else {
                slot.done = true;
                slot.ok = event.ok;
                idle.push_back(laneOf[event.entry]);
            }
        }
        // Hand out in manifest order while lanes are free; an entry whose file
        // is still being fetched for an earlier entry waits for it.
        while (next < count && !idle.empty()) {
            const ManifestEntry& entry = *entries[next];
            std::wstring staged = StagingPathFor(entry.path);
            auto earlier = lastFor.find(staged);
            if (earlier != lastFor.end() && IsSameTarget(entries[earlier->second]->path, entry.path)) {
                const Slot& before = slots[earlier->second];
                if (!before.done) {
                    break;
                }
                if (before.ok && SameContent(*entries[earlier->second], entry)) {
                    Slot& slot = slots[next];
                    slot.lines.push_back(L"[ OK ] Using \"" + entry.path + L"\" as received for an earlier entry.");
                    slot.started = slot.done = slot.ok = true;
                    ++next;
                    continue;
                }
            }
            lastFor[staged] = next;
            // The target's folders are made here, in manifest order, so that
            // each is reported by the first entry in it however the transfers
            // race (and the staged file never needs them). One that cannot be
            // made fails the entry before it is fetched. Once cancelled,
            // nothing new is made.
            if (!cancelSent) {
                LineBuffer made;
                LogLines* previous = RedirectLogLines(&made);
                bool ready = EnsureParentDirectories(entry.path.c_str());
                RedirectLogLines(previous);
                Slot& slot = slots[next];
                if (!ready) {
                    slot.lines.push_back(L"[ OK ] Downloading \"" + entry.path + L"\" from \"" + entry.src + L"\"");
                    slot.lines.insert(slot.lines.end(), made.lines.begin(), made.lines.end());
                    slot.started = slot.done = true;
                    ++next;
                    continue;
                }
                slot.folders = std::move(made.lines);
            }
            Lane* lane = idle.back();
            idle.pop_back();
            laneOf[next] = lane;
            slots[next].started = true;
            lane->Give(next, entry);
            ++next;
        }
        // The earliest unfinished entry writes as it goes; later ones wait.
        while (written < count && slots[written].started) {
            Slot& head = slots[written];
            for (; head.written < head.lines.size(); ++head.written) {
                WriteLogLine(head.lines[head.written]);
            }
            if (!head.done) {
                break;
            }
            result[written] = head.ok;
            ++written;
        }
        if (written == count) {
            break;
        }
        HANDLE ready = events.Ready();
        MsgWaitForMultipleObjectsEx(1, &ready, kQuietWaitMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (!window.Pump() && !cancelSent) {
            SetEvent(cancelled.Get());
            cancelSent = true;
        }
    }
    return result;
}
