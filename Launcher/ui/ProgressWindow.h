// The modeless progress dialog: status line, bar, size line and Cancel. It is
// the progress a file transfer reports to, and it decides cancellation.
#pragma once

#include "common/Progress.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>

class ProgressWindow final : public Progress {
public:
    explicit ProgressWindow(HINSTANCE instance);
    ~ProgressWindow();
    ProgressWindow(const ProgressWindow&) = delete;
    ProgressWindow& operator=(const ProgressWindow&) = delete;

    // Opens the dialog from the module's template; a failure only loses the
    // display (the counters and the queue still work).
    void Show();
    void Close();
    void SetStatusText(const wchar_t* text);
    // Sets the counters and, with a window, the bar's range and position.
    void Start(double totalBytes, double doneBytes);
    // Writes the size line and shows whatever the bar has held back.
    void UpdateSizeText();

    void Received(uint32_t bytes) override;
    // Dispatches what is queued; a quit message cancels the run too.
    bool Pump() override;

    bool IsCancelled() const { return cancelled_; }
    HWND Handle() const { return window_; }
    double Total() const { return total_; }
    double Done() const { return done_; }

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void Cancel();
    // Moves the bar to exactly done_.
    void ShowProgress();
    int DrawnBarLength() const;

    HINSTANCE instance_ = nullptr;
    HWND window_ = nullptr;
    bool cancelled_ = false;
    double total_ = 0.0;
    double done_ = 0.0;
    double barUnit_ = 1.0;    // bytes a step of the bar's range stands for
    int barPixels_ = 0;       // the bar's drawn length when full
    int barDrawn_ = -1;       // its drawn length after the last move
    ULONGLONG barMoved_ = 0;  // when it last moved (GetTickCount64)
};

// The size line, "1.00 MB of 3.00 MB", for byte counts.
void FormatSizeText(double done, double total, wchar_t* text, size_t capacity);
