#include "ui/ProgressWindow.h"

#include "common/Constants.h"
#include "common/RunLog.h"
#include "res/resource.h"

#include <commctrl.h>

#include <climits>
#include <cmath>
#include <cwchar>

namespace {

constexpr UINT_PTR kSizeTimer = 1;
// Twice a second is often enough for a size line, and keeps repaints cheap.
constexpr UINT kSizeTimerPeriodMs = 500;
constexpr size_t kSizeTextLength = 64;
constexpr double kBytesPerMegabyte = 1048576.0;
// Each move of the bar repaints it at once under Wine (about 1.5 ms), so a
// small step waits until this much time has passed since the last move; a
// step this wide, and the full bar, are shown at once. The size timer shows
// whatever is left over.
constexpr ULONGLONG kBarMoveIntervalMs = 40;
constexpr int kBarImmediateStep = 16;

// The bar counts in a signed 32-bit range; a count beyond it pins the bar
// full instead of overflowing the conversion.
int ToBarPosition(double bytes) {
    if (!(bytes > 0.0)) {
        return 0;
    }
    if (bytes >= static_cast<double>(INT_MAX)) {
        return INT_MAX;
    }
    return static_cast<int>(bytes);
}

}  // namespace

void FormatSizeText(double done, double total, wchar_t* text, size_t capacity) {
    _snwprintf(text, capacity, L"%.2f MB of %.2f MB", done / kBytesPerMegabyte, total / kBytesPerMegabyte);
    text[capacity - 1] = L'\0';  // _snwprintf leaves a full buffer unterminated
}

ProgressWindow::ProgressWindow(HINSTANCE instance) : instance_(instance) {}

ProgressWindow::~ProgressWindow() { Close(); }

INT_PTR CALLBACK ProgressWindow::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    ProgressWindow* self = reinterpret_cast<ProgressWindow*>(GetWindowLongPtrW(window, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG:
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        SetWindowTextW(window, kCaption);
        SendDlgItemMessageW(window, IDC_PROGRESS_BAR, PBM_SETSTEP, 1, 0);
        SetTimer(window, kSizeTimer, kSizeTimerPeriodMs, nullptr);
        return TRUE;
    case WM_DESTROY:
        KillTimer(window, kSizeTimer);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            if (self != nullptr) {
                self->Cancel();
            }
            return TRUE;
        }
        return FALSE;
    case WM_TIMER:
        if (self != nullptr) {
            self->UpdateSizeText();
        }
        return TRUE;
    default:
        return FALSE;
    }
}

void ProgressWindow::Show() {
    if (window_ != nullptr) {
        return;
    }
    window_ = CreateDialogParamW(instance_, MAKEINTRESOURCEW(IDD_PROGRESS), nullptr, DialogProc,
                                 reinterpret_cast<LPARAM>(this));
}

void ProgressWindow::Close() {
    if (window_ != nullptr) {
        DestroyWindow(window_);
        window_ = nullptr;
    }
}

void ProgressWindow::SetStatusText(const wchar_t* text) {
    if (window_ != nullptr) {
        SetDlgItemTextW(window_, IDC_STATUS_TEXT, text);
    }
}

void ProgressWindow::Start(double totalBytes, double doneBytes) {
    total_ = totalBytes;
    done_ = doneBytes;
    if (window_ == nullptr) {
        return;
    }
    // Bytes while they fit the bar's range, else as many bytes a step as
    // make the total fit (an update of several GiB).
    barUnit_ = total_ > static_cast<double>(INT_MAX) ? std::ceil(total_ / static_cast<double>(INT_MAX)) : 1.0;
    SendDlgItemMessageW(window_, IDC_PROGRESS_BAR, PBM_SETRANGE32, 0, ToBarPosition(total_ / barUnit_));
    RECT bar = {};
    GetClientRect(GetDlgItem(window_, IDC_PROGRESS_BAR), &bar);
    barPixels_ = bar.right > 0 ? bar.right : 1;
    ShowProgress();
}

int ProgressWindow::DrawnBarLength() const {
    if (!(total_ > 0.0)) {
        return 0;
    }
    double fraction = done_ < total_ ? done_ / total_ : 1.0;
    return static_cast<int>(fraction * barPixels_);
}

void ProgressWindow::ShowProgress() {
    if (window_ != nullptr) {
        barMoved_ = GetTickCount64();
        barDrawn_ = DrawnBarLength();
        SendDlgItemMessageW(window_, IDC_PROGRESS_BAR, PBM_SETPOS, static_cast<WPARAM>(ToBarPosition(done_ / barUnit_)),
                            0);
    }
}

void ProgressWindow::Received(uint32_t bytes) {
    done_ += bytes;
    // Wine repaints the bar on every move: move it only when that shows, and
    // a few dozen times a second at most.
    if (window_ == nullptr) {
        return;
    }
    int drawn = DrawnBarLength();
    if (drawn != barDrawn_ && (drawn - barDrawn_ >= kBarImmediateStep || drawn >= barPixels_ ||
                               GetTickCount64() - barMoved_ >= kBarMoveIntervalMs)) {
        ShowProgress();
    }
}

void ProgressWindow::UpdateSizeText() {
    if (window_ == nullptr) {
        return;
    }
    if (DrawnBarLength() != barDrawn_) {
        ShowProgress();
    }
    wchar_t text[kSizeTextLength];
    FormatSizeText(done_, total_, text, kSizeTextLength);
    SetDlgItemTextW(window_, IDC_SIZE_TEXT, text);
}

bool ProgressWindow::Pump() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            // Someone asked the process to end: treat it as a cancellation.
            cancelled_ = true;
        }
        if (window_ != nullptr && IsDialogMessageW(window_, &message)) {
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return !cancelled_;
}

void ProgressWindow::Cancel() {
    HWND button = GetDlgItem(window_, IDCANCEL);
    // Esc and the close box still reach here once the button is disabled;
    // one cancellation is logged once.
    if (cancelled_ && button != nullptr && !IsWindowEnabled(button)) {
        return;
    }
    cancelled_ = true;
    EnableWindow(button, FALSE);
    LogLine(L"[ OK ] User cancelled update.");
}
