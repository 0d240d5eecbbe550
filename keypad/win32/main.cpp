// DELPAD for Windows: the register's keyboard on screen. Its settings files
// sit beside delpad.exe.
#include <windows.h>
#include <winsock2.h>

#include <filesystem>
#include <string>

#include "keypad_window.hpp"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    // Crisp text on scaled displays; the window then scales itself.
    SetProcessDPIAware();
    WSADATA wsa;
    const bool sockets = WSAStartup(MAKEWORD(2, 2), &wsa) == 0;

    std::wstring module(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n =
            GetModuleFileNameW(nullptr, module.data(), static_cast<DWORD>(module.size()));
        if (n < module.size()) {
            module.resize(n);
            break;
        }
        module.resize(module.size() * 2);
    }
    int result = 1;
    {
        delpad::win32::KeypadWindow window(std::filesystem::path(module).parent_path());
        if (window.create(instance, show)) result = window.run();
    }
    if (sockets) WSACleanup();
    return result;
}
