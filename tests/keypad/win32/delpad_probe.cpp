// The test's eyes inside Wine: finds the running DELPAD window and reports
// what a user would see (control texts, where the keys are, which control
// has the focus, the message box), one command per run.
//   delpad_probe centres         every control: name x y (screen pixels)
//   delpad_probe text NAME       a control's text, UTF-8 in hex
//   delpad_probe focus           the name of the focused control
//   delpad_probe box             the message box's text in hex, then OK
//   delpad_probe client          the client area: left top width height
//                                (screen pixels)
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "control_ids.hpp"

using namespace delpad;

namespace {

HWND find_window() {
    return FindWindowW(L"TASTIERA", L"DELPAD");
}

std::string utf8_hex(HWND hwnd) {
    wchar_t text[4096] = {};
    // WM_GETTEXT works across processes, where GetWindowText would not.
    SendMessageW(hwnd, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(text));
    char bytes[16384] = {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof bytes, nullptr, nullptr);
    std::string hex;
    char pair[3];
    for (int i = 0; i + 1 < n; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", static_cast<unsigned char>(bytes[i]));
        hex += pair;
    }
    return hex.empty() ? "-" : hex;
}

void print_centre(HWND window, const char* name) {
    HWND hwnd = GetDlgItem(window, win32::control_id(name));
    if (hwnd == nullptr || !IsWindowVisible(hwnd)) return;
    RECT r;
    GetWindowRect(hwnd, &r);
    std::printf("%s %ld %ld\n", name, (r.left + r.right) / 2, (r.top + r.bottom) / 2);
}

const char* name_of(int id) {
    if (const KeySpec* key = win32::key_of_id(id)) return key->name.c_str();
    const auto& controls = form_controls();
    const int index = id - win32::first_form_id;
    if (index >= 0 && index < static_cast<int>(controls.size()))
        return controls[static_cast<std::size_t>(index)].name;
    return "-";
}

BOOL CALLBACK find_box(HWND hwnd, LPARAM found) {
    wchar_t cls[32] = {}, title[64] = {};
    GetClassNameW(hwnd, cls, 32);
    GetWindowTextW(hwnd, title, 64);
    if (IsWindowVisible(hwnd) && std::wcscmp(cls, L"#32770") == 0 &&
        std::wcscmp(title, L"DELPAD") == 0) {
        *reinterpret_cast<HWND*>(found) = hwnd;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::string command = argv[1];
    HWND window = find_window();
    if (command == "box") {
        HWND box = nullptr;
        EnumWindows(find_box, reinterpret_cast<LPARAM>(&box));
        if (box == nullptr) {
            std::puts("none");
            return 0;
        }
        // The message box keeps its text in the static control 0xFFFF.
        std::printf("%s\n", utf8_hex(GetDlgItem(box, 0xFFFF)).c_str());
        const bool only_ok =
            GetDlgItem(box, IDOK) != nullptr && GetDlgItem(box, IDCANCEL) == nullptr;
        std::printf("%s\n", only_ok ? "ok-only" : "other-buttons");
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        return 0;
    }
    if (window == nullptr) {
        std::puts("no-window");
        return 1;
    }
    if (command == "centres") {
        for (const auto& c : form_controls()) print_centre(window, c.name);
        for (const auto& k : key_table()) print_centre(window, k.name.c_str());
    } else if (command == "text" && argc > 2) {
        std::printf("%s\n", utf8_hex(GetDlgItem(window, win32::control_id(argv[2]))).c_str());
    } else if (command == "focus") {
        GUITHREADINFO info{};
        info.cbSize = sizeof info;
        GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info);
        if (info.hwndFocus == window)
            std::puts("TASTIERA");
        else
            std::printf("%s\n", info.hwndFocus ? name_of(GetDlgCtrlID(info.hwndFocus)) : "-");
    } else if (command == "client") {
        RECT r;
        GetClientRect(window, &r);
        POINT origin{0, 0};
        ClientToScreen(window, &origin);
        std::printf("%ld %ld %ld %ld\n", origin.x, origin.y, r.right, r.bottom);
    } else {
        return 2;
    }
    return 0;
}
