// The progress dialog made from the executable's own template, its counters,
// its size line, the message pump and every way of cancelling.
#include "unit/TestSupport.h"

#include "manifest/Manifest.h"
#include "res/resource.h"
#include "ui/ProgressWindow.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <climits>
#include <cwchar>
#include <string>

namespace {

constexpr uint32_t kMebibyte = 1048576;
const char kCancelLine[] = "[ OK ] User cancelled update.\r\n";

std::wstring ItemText(HWND dialog, int id) {
    wchar_t text[256] = {};
    GetDlgItemTextW(dialog, id, text, 256);
    return text;
}

std::wstring ClassOf(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

bool SameText(const std::wstring& a, const wchar_t* b) { return _wcsicmp(a.c_str(), b) == 0; }

int BarPosition(HWND dialog) {
    return static_cast<int>(SendDlgItemMessageW(dialog, IDC_PROGRESS_BAR, PBM_GETPOS, 0, 0));
}

PBRANGE BarRange(HWND dialog) {
    PBRANGE range = {-1, -1};
    SendDlgItemMessageW(dialog, IDC_PROGRESS_BAR, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
    return range;
}

// One timer tick, as the dialog's 500 ms timer would deliver it.
void Tick(HWND dialog) { SendMessageW(dialog, WM_TIMER, 1, 0); }

BOOL CALLBACK CountDialog(HWND window, LPARAM count) {
    if (ClassOf(window) == L"#32770") {
        ++*reinterpret_cast<int*>(count);
    }
    return TRUE;
}

int DialogsOfThisThread() {
    int count = 0;
    EnumThreadWindows(GetCurrentThreadId(), CountDialog, reinterpret_cast<LPARAM>(&count));
    return count;
}

// Leaves nothing (a quit message included) for the next test.
void DrainQueue() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageW(&message);
    }
}

void AddSizedEntry(Manifest& manifest, const wchar_t* path, const wchar_t* size, bool current) {
    ASSERT_TRUE(manifest.AddEntry(path, size, L"0123456789abcdef0123456789abcdef", L"http://127.0.0.1/x"));
    if (current) {
        manifest.entries.back().flags |= ManifestEntry::kCurrent;
    }
}

class ProgressWindowTest : public ::testing::Test {
protected:
    void TearDown() override {
        progress.Close();
        DrainQueue();
    }

    // Three mebibytes in all, one of them already current.
    void FillThreeMebibytesOneCurrent() {
        AddSizedEntry(manifest, L"present.bin", L"1048576", true);
        AddSizedEntry(manifest, L"stale.bin", L"2097152", false);
    }

    // The counters start from the entries, as a run starts them.
    void InitProgress() {
        double total = 0.0;
        double done = 0.0;
        manifest.ComputeTotals(total, done);
        progress.Start(total, done);
    }

    Manifest manifest;
    ProgressWindow progress{GetModuleHandleW(nullptr)};
};

TEST_F(ProgressWindowTest, IsMadeFromTheTemplateWithItsCaptionAndFourControls) {
    progress.Show();
    HWND dialog = progress.Handle();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(IsWindowVisible(dialog));

    wchar_t caption[64] = {};
    GetWindowTextW(dialog, caption, 64);
    EXPECT_STREQ(caption, L"Quorval Launcher/Updater");

    struct Control {
        int id;
        const wchar_t* className;
        const wchar_t* text;
    };
    const Control controls[] = {
        {IDCANCEL, L"Button", L"Cancel"},
        {IDC_PROGRESS_BAR, L"msctls_progress32", L""},
        {IDC_STATUS_TEXT, L"Static", L""},
        {IDC_SIZE_TEXT, L"Static", L""},
    };
    for (const Control& control : controls) {
        SCOPED_TRACE(control.id);
        HWND item = GetDlgItem(dialog, control.id);
        ASSERT_NE(item, nullptr);
        EXPECT_TRUE(SameText(ClassOf(item), control.className)) << ClassOf(item).c_str();
        EXPECT_EQ(ItemText(dialog, control.id), control.text);
        EXPECT_TRUE(IsWindowEnabled(item));
    }

    progress.SetStatusText(L"Updating...");
    EXPECT_EQ(ItemText(dialog, IDC_STATUS_TEXT), L"Updating...");
}

TEST_F(ProgressWindowTest, ShowingTwiceMakesOneWindowAndClosingForgetsIt) {
    progress.Show();
    HWND first = progress.Handle();
    ASSERT_NE(first, nullptr);
    progress.Show();
    EXPECT_EQ(progress.Handle(), first);
    EXPECT_EQ(DialogsOfThisThread(), 1);

    progress.Close();
    EXPECT_EQ(progress.Handle(), nullptr);
    EXPECT_FALSE(IsWindow(first));
    EXPECT_EQ(DialogsOfThisThread(), 0);
    progress.Close();  // nothing left to close
    EXPECT_EQ(progress.Handle(), nullptr);
}

TEST_F(ProgressWindowTest, InitProgressSetsTheBarAndTheTimerWritesTheSizeLine) {
    FillThreeMebibytesOneCurrent();
    progress.Show();
    HWND dialog = progress.Handle();
    ASSERT_NE(dialog, nullptr);
    InitProgress();

    EXPECT_EQ(progress.Total(), 3.0 * kMebibyte);
    EXPECT_EQ(progress.Done(), 1.0 * kMebibyte);
    PBRANGE range = BarRange(dialog);
    EXPECT_EQ(range.iLow, 0);
    EXPECT_EQ(range.iHigh, static_cast<int>(3 * kMebibyte));
    EXPECT_EQ(BarPosition(dialog), static_cast<int>(kMebibyte));
    // Only the timer writes the size line.
    EXPECT_EQ(ItemText(dialog, IDC_SIZE_TEXT), L"");

    Tick(dialog);
    EXPECT_EQ(ItemText(dialog, IDC_SIZE_TEXT), L"1.00 MB of 3.00 MB");
}

TEST_F(ProgressWindowTest, TheRealTimerFiresWhileMessagesArePumped) {
    FillThreeMebibytesOneCurrent();
    progress.Show();
    HWND dialog = progress.Handle();
    ASSERT_NE(dialog, nullptr);
    InitProgress();

    DWORD start = GetTickCount();
    while (ItemText(dialog, IDC_SIZE_TEXT).empty() && GetTickCount() - start < 3000) {
        EXPECT_TRUE(progress.Pump());
        Sleep(20);
    }
    EXPECT_EQ(ItemText(dialog, IDC_SIZE_TEXT), L"1.00 MB of 3.00 MB");
    // Not before the first 500 ms period has passed (allowing for coarse clocks).
    EXPECT_GE(GetTickCount() - start, 400u);
}

TEST_F(ProgressWindowTest, AllSizesZeroGiveAnEmptyRangeAndZeroMegabytes) {
    AddSizedEntry(manifest, L"a.bin", L"0", true);
    AddSizedEntry(manifest, L"b.bin", L"0", false);
    progress.Show();
    HWND dialog = progress.Handle();
    ASSERT_NE(dialog, nullptr);
    InitProgress();

    PBRANGE range = BarRange(dialog);
    EXPECT_EQ(range.iLow, 0);
    EXPECT_EQ(range.iHigh, 0);
    EXPECT_EQ(BarPosition(dialog), 0);
    Tick(dialog);
    EXPECT_EQ(ItemText(dialog, IDC_SIZE_TEXT), L"0.00 MB of 0.00 MB");
}

TEST_F(ProgressWindowTest, TotalsBeyondTheBarsRangeAreScaledIntoIt) {
    AddSizedEntry(manifest, L"a.bin", L"2147483647", true);
    AddSizedEntry(manifest, L"b.bin", L"2147483647", true);
    progress.Show();
    HWND dialog = progress.Handle();
    ASSERT_NE(dialog, nullptr);
    InitProgress();

    EXPECT_EQ(progress.Total(), 4294967294.0);
    EXPECT_EQ(BarRange(dialog).iHigh, INT_MAX);
    EXPECT_EQ(BarPosition(dialog), INT_MAX);

    // Ten billion bytes, half of them present: the bar stands at half.
    manifest.entries.clear();
    AddSizedEntry(manifest, L"present.pak", L"5000000000", true);
    AddSizedEntry(manifest, L"stale.pak", L"5000000000", false);
    InitProgress();
    int high = BarRange(dialog).iHigh;
    EXPECT_GT(high, INT_MAX / 2);
    EXPECT_EQ(BarPosition(dialog), high / 2);
    progress.Received(1000000000);
    Tick(dialog);
    EXPECT_EQ(BarPosition(dialog), high / 10 * 6);
    EXPECT_EQ(ItemText(dialog, IDC_SIZE_TEXT), L"5722.05 MB of 9536.74 MB");
}

TEST_F(ProgressWindowTest, AddProgressCountsWithAndWithoutAWindow) {
    FillThreeMebibytesOneCurrent();
    progress.Received(4096);
    progress.Received(100);
    EXPECT_EQ(progress.Done(), 4196.0);

    progress.Show();
    HWND dialog = progress.Handle();
    ASSERT_NE(dialog, nullptr);
    InitProgress();  // starts again from the entries
    progress.Received(kMebibyte / 4);
    progress.Received(kMebibyte / 4);
    EXPECT_EQ(progress.Done(), 1.5 * kMebibyte);
    EXPECT_EQ(BarPosition(dialog), static_cast<int>(kMebibyte + kMebibyte / 2));
    Tick(dialog);
    EXPECT_EQ(ItemText(dialog, IDC_SIZE_TEXT), L"1.50 MB of 3.00 MB");

    // The counters outlive the window.
    progress.Close();
    progress.Received(kMebibyte / 2);
    EXPECT_EQ(progress.Done(), 2.0 * kMebibyte);
    EXPECT_EQ(progress.Total(), 3.0 * kMebibyte);
}

TEST_F(ProgressWindowTest, StepsTheBarWaitsForShowAtTheNextTickAndTheEndAtOnce) {
    FillThreeMebibytesOneCurrent();
    progress.Show();
    HWND dialog = progress.Handle();
    ASSERT_NE(dialog, nullptr);
    InitProgress();
    RECT bar = {};
    GetClientRect(GetDlgItem(dialog, IDC_PROGRESS_BAR), &bar);
    ASSERT_GT(bar.right, 8);
    const int pixel = static_cast<int>(3 * kMebibyte / static_cast<uint32_t>(bar.right)) + 1;

    // Four pixels in small steps: the bar may hold them back, the timer
    // shows them (to within a pixel).
    for (int i = 0; i < 40; ++i) {
        progress.Received(static_cast<uint32_t>(pixel / 10));
    }
    Tick(dialog);
    int done = static_cast<int>(progress.Done());
    EXPECT_GT(BarPosition(dialog), done - pixel);
    EXPECT_LE(BarPosition(dialog), done);

    // The last byte fills the bar at once, however small the step.
    progress.Received(static_cast<uint32_t>(3 * kMebibyte - 1 - done));
    progress.Received(1);
    EXPECT_EQ(BarPosition(dialog), static_cast<int>(3 * kMebibyte));
}

TEST(ProgressWindowMissing, ADialogThatCannotBeCreatedOnlyLosesTheDisplay) {
    // A module without the template.
    ProgressWindow progress(GetModuleHandleW(L"kernel32.dll"));
    progress.Show();
    ASSERT_EQ(progress.Handle(), nullptr);
    progress.SetStatusText(L"Updating...");
    progress.UpdateSizeText();
    progress.Received(10);
    EXPECT_EQ(progress.Done(), 10.0);
    EXPECT_TRUE(progress.Pump());
    EXPECT_FALSE(progress.IsCancelled());
    progress.Close();
}

// Every way the user can cancel: the flag is set, the button disabled, and
// the cancellation logged once even when the user insists.
struct CancelAction {
    const char* name;
    void (*act)(HWND dialog);
};

void PostCancelCommand(HWND dialog) {
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDCANCEL)));
}
void PostOkCommand(HWND dialog) { PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0); }
void ClickCancelButton(HWND dialog) { PostMessageW(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0); }
void PressEscape(HWND dialog) { PostMessageW(dialog, WM_KEYDOWN, VK_ESCAPE, 0); }
void PressEnter(HWND dialog) { PostMessageW(dialog, WM_KEYDOWN, VK_RETURN, 0); }
void CloseBox(HWND dialog) { PostMessageW(dialog, WM_CLOSE, 0, 0); }

class CancelBy : public ::testing::TestWithParam<CancelAction> {
protected:
    void TearDown() override {
        progress.Close();
        DrainQueue();
    }

    ProgressWindow progress{GetModuleHandleW(nullptr)};
};

TEST_P(CancelBy, SetsTheFlagDisablesTheButtonAndLogsOnce) {
    LogCapture log;
    progress.Show();
    HWND dialog = progress.Handle();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(progress.Pump());
    EXPECT_FALSE(progress.IsCancelled());

    GetParam().act(dialog);
    EXPECT_FALSE(progress.Pump());
    EXPECT_TRUE(progress.IsCancelled());
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, IDCANCEL)));
    EXPECT_EQ(log.Text(), kCancelLine);

    GetParam().act(dialog);
    EXPECT_FALSE(progress.Pump());
    EXPECT_TRUE(progress.IsCancelled());
    EXPECT_EQ(log.Text(), kCancelLine);
}

INSTANTIATE_TEST_SUITE_P(ProgressWindowTest, CancelBy,
                         ::testing::Values(CancelAction{"CancelCommand", PostCancelCommand},
                                           CancelAction{"OkCommand", PostOkCommand},
                                           CancelAction{"ButtonClick", ClickCancelButton},
                                           CancelAction{"EscapeKey", PressEscape},
                                           CancelAction{"EnterKey", PressEnter},
                                           CancelAction{"CloseBox", CloseBox}),
                         [](const ::testing::TestParamInfo<CancelAction>& info) { return info.param.name; });

TEST_F(ProgressWindowTest, OtherCommandsAndKeysDoNotCancel) {
    LogCapture log;
    progress.Show();
    HWND dialog = progress.Handle();
    ASSERT_NE(dialog, nullptr);
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_SIZE_TEXT, 0), 0);
    PostMessageW(dialog, WM_KEYDOWN, VK_TAB, 0);
    PostMessageW(dialog, WM_KEYDOWN, 'A', 0);
    EXPECT_TRUE(progress.Pump());
    EXPECT_FALSE(progress.IsCancelled());
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, IDCANCEL)));
    EXPECT_EQ(log.Text(), "");
}

TEST_F(ProgressWindowTest, AQuitMessageCancelsSilentlyAndIsConsumed) {
    LogCapture log;
    for (bool withWindow : {false, true}) {
        SCOPED_TRACE(withWindow ? "with the window" : "without a window");
        ProgressWindow quitting(GetModuleHandleW(nullptr));
        if (withWindow) {
            quitting.Show();
            ASSERT_NE(quitting.Handle(), nullptr);
        }
        PostQuitMessage(0);
        EXPECT_FALSE(quitting.Pump());
        EXPECT_TRUE(quitting.IsCancelled());
        MSG message;
        EXPECT_FALSE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "quit posted again";
        if (withWindow) {
            EXPECT_TRUE(IsWindowEnabled(GetDlgItem(quitting.Handle(), IDCANCEL)));
        }
        // Cancelled stays cancelled.
        EXPECT_FALSE(quitting.Pump());
        quitting.Close();
    }
    EXPECT_EQ(log.Text(), "");
}

struct SizeTextCase {
    double done;
    double total;
    size_t capacity;
    const wchar_t* expected;
};

TEST(FormatSizeText, FormatsMegabytesAndAlwaysTerminates) {
    const SizeTextCase cases[] = {
        {1048576.0, 3145728.0, 64, L"1.00 MB of 3.00 MB"},
        {0.0, 0.0, 64, L"0.00 MB of 0.00 MB"},
        {1572864.0, 3145728.0, 64, L"1.50 MB of 3.00 MB"},
        {4096.0, 4294967295.0, 64, L"0.00 MB of 4096.00 MB"},
        {10485760.0, 10485760.0, 64, L"10.00 MB of 10.00 MB"},
        // Exactly fitting, and one character short.
        {1048576.0, 3145728.0, 19, L"1.00 MB of 3.00 MB"},
        {1048576.0, 3145728.0, 18, L"1.00 MB of 3.00 M"},
    };
    for (const SizeTextCase& c : cases) {
        SCOPED_TRACE(c.capacity);
        wchar_t text[80];
        wmemset(text, L'#', 80);
        FormatSizeText(c.done, c.total, text, c.capacity);
        EXPECT_STREQ(text, c.expected);
        for (size_t i = c.capacity; i < 80; ++i) {
            ASSERT_EQ(text[i], L'#') << "written past the buffer at " << i;
        }
    }
}

TEST(FormatSizeText, HugeValuesAreCutAtTheBuffer) {
    struct HugeCase {
        double bytes;
        const wchar_t* leadingDigits;
    };
    const HugeCase cases[] = {
        {1e30, L"95367431640625"},
        {1e300, L"95367431640625"},
        {1.7976931348623157e308, L"17144137714980"},
    };
    for (const HugeCase& c : cases) {
        SCOPED_TRACE(c.bytes);
        wchar_t text[80];
        wmemset(text, L'#', 80);
        FormatSizeText(c.bytes, c.bytes, text, 64);
        EXPECT_EQ(wcslen(text), 63u);
        EXPECT_EQ(std::wstring(text).rfind(c.leadingDigits, 0), 0u) << "the done count comes first";
        for (size_t i = 64; i < 80; ++i) {
            ASSERT_EQ(text[i], L'#') << "written past the buffer at " << i;
        }
    }
}

}  // namespace
