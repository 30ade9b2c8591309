// Prints the visible top-level windows of the Wine session as one JSON
// object per line: handle, process id, class, caption, owner (handle and
// caption), its X window id, and every child control's id, class, text and enabled state.
// The end-to-end tests read message boxes and the progress window with it.
//
//   WindowProbe.exe            all visible top-level windows
//   WindowProbe.exe CAPTION    only those whose caption is CAPTION
#include "apps/Utf8.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string Json(const std::wstring& text) {
    std::string out = "\"";
    for (char c : Utf8(text)) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char escaped[8];
            snprintf(escaped, sizeof(escaped), "\\u%04x", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::wstring Text(HWND window) {
    wchar_t buffer[1024] = {};
    // WM_GETTEXT reaches controls of other processes too (GetWindowText does not).
    SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG,
                        2000, nullptr);
    return buffer;
}

std::wstring ClassOf(HWND window) {
    wchar_t buffer[256] = {};
    GetClassNameW(window, buffer, 256);
    return buffer;
}

std::string Handle(HWND window) {
    char buffer[32];
    snprintf(buffer, sizeof(buffer), "%llu", static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window)));
    return buffer;
}

// Wine keeps the X window of a top-level window in this property; xdotool
// needs it to send keys to exactly this window.
std::string X11Window(HWND window) {
    return std::to_string(reinterpret_cast<UINT_PTR>(GetPropW(window, L"__wine_x11_whole_window")));
}

BOOL CALLBACK OnChild(HWND child, LPARAM param) {
    std::string* out = reinterpret_cast<std::string*>(param);
    if (GetParent(child) == nullptr) {
        return TRUE;
    }
    if (out->back() != '[') {
        *out += ",";
    }
    *out += "{\"id\":" + std::to_string(GetDlgCtrlID(child)) + ",\"class\":" + Json(ClassOf(child)) +
            ",\"text\":" + Json(Text(child)) + ",\"enabled\":" + (IsWindowEnabled(child) ? "true" : "false") +
            "}";
    return TRUE;
}

BOOL CALLBACK OnWindow(HWND window, LPARAM param) {
    const wchar_t* wanted = reinterpret_cast<const wchar_t*>(param);
    if (!IsWindowVisible(window)) {
        return TRUE;
    }
    std::wstring caption = Text(window);
    if (wanted != nullptr && caption != wanted) {
        return TRUE;
    }
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    HWND owner = GetWindow(window, GW_OWNER);
    std::string line = "{\"hwnd\":" + Handle(window) + ",\"pid\":" + std::to_string(process) +
                       ",\"class\":" + Json(ClassOf(window)) + ",\"caption\":" + Json(caption) +
                       ",\"x11_window\":" + X11Window(window) + ",\"owner\":" + Handle(owner) + ",\"owner_caption\":" +
                       Json(owner != nullptr ? Text(owner) : std::wstring()) + ",\"children\":[";
    EnumChildWindows(window, OnChild, reinterpret_cast<LPARAM>(&line));
    line += "]}\n";
    fwrite(line.data(), 1, line.size(), stdout);
    return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const wchar_t* wanted = argc > 1 ? argv[1] : nullptr;
    EnumWindows(OnWindow, reinterpret_cast<LPARAM>(wanted));
    fflush(stdout);
    return 0;
}
