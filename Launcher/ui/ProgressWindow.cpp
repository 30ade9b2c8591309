#include "ui/ProgressWindow.h"

#include "core/Constants.h"
#include "core/RunLog.h"
#include "core/Updater.h"
#include "res/resource.h"

#include <commctrl.h>

#include <climits>
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

// The bar counts bytes in a signed 32-bit range; larger counts pin it full
// instead of overflowing the conversion.
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

INT_PTR CALLBACK ProgressDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Updater* updater = reinterpret_cast<Updater*>(GetWindowLongPtrW(window, DWLP_USER));
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
            if (updater != nullptr) {
                updater->Cancel(window);
            }
            return TRUE;
        }
        return FALSE;
    case WM_TIMER:
        if (updater != nullptr) {
            updater->UpdateSizeText();
        }
        return TRUE;
    default:
        return FALSE;
    }
}

void Updater::ShowProgressWindow() {
    if (window != nullptr) {
        return;
    }
    window = CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_PROGRESS), nullptr, ProgressDialogProc,
                                reinterpret_cast<LPARAM>(this));
}

void Updater::CloseProgressWindow() {
    if (window != nullptr) {
        DestroyWindow(window);
        window = nullptr;
    }
}

void Updater::SetStatusText(const wchar_t* text) {
    if (window != nullptr) {
        SetDlgItemTextW(window, IDC_STATUS_TEXT, text);
    }
}

void Updater::InitProgress() {
    if (window == nullptr) {
        return;
    }
    manifest.ComputeTotals(total, done);
    SendDlgItemMessageW(window, IDC_PROGRESS_BAR, PBM_SETRANGE32, 0, ToBarPosition(total));
    RECT bar = {};
    GetClientRect(GetDlgItem(window, IDC_PROGRESS_BAR), &bar);
    barPixels = bar.right > 0 ? bar.right : 1;
    ShowProgress();
}

int Updater::DrawnBarLength() const {
    if (!(total > 0.0)) {
        return 0;
    }
    double fraction = done < total ? done / total : 1.0;
    return static_cast<int>(fraction * barPixels);
}

void Updater::ShowProgress() {
    if (window != nullptr) {
        barMoved = GetTickCount64();
        barDrawn = DrawnBarLength();
        SendDlgItemMessageW(window, IDC_PROGRESS_BAR, PBM_SETPOS, static_cast<WPARAM>(ToBarPosition(done)), 0);
    }
}

void Updater::AddProgress(uint32_t bytes) {
    done += bytes;
    // Wine repaints the bar on every move: move it only when that shows, and
    // a few dozen times a second at most.
    if (window == nullptr) {
        return;
    }
    int drawn = DrawnBarLength();
    if (drawn != barDrawn && (drawn - barDrawn >= kBarImmediateStep || drawn >= barPixels ||
                              GetTickCount64() - barMoved >= kBarMoveIntervalMs)) {
        ShowProgress();
    }
}

void Updater::UpdateSizeText() {
    if (window == nullptr) {
        return;
    }
    if (DrawnBarLength() != barDrawn) {
        ShowProgress();
    }
    wchar_t text[kSizeTextLength];
    FormatSizeText(done, total, text, kSizeTextLength);
    SetDlgItemTextW(window, IDC_SIZE_TEXT, text);
}

bool Updater::PumpMessages() {
    bool result = true;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            // Someone asked the process to end: treat it as a cancellation.
            flags |= kCancelled;
            result = false;
        }
        if (window != nullptr && IsDialogMessageW(window, &message)) {
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    if (IsCancelled()) {
        result = false;
    }
    return result;
}

void Updater::Cancel(HWND dialog) {
    HWND button = GetDlgItem(dialog, IDCANCEL);
    // Esc and the close box still reach here once the button is disabled;
    // one cancellation is logged once.
    if (IsCancelled() && button != nullptr && !IsWindowEnabled(button)) {
        return;
    }
    flags |= kCancelled;
    EnableWindow(button, FALSE);
    LogLine(L"[ OK ] User cancelled update.");
}
