// TASTIERA, DELPAD's one window on Win32: the same controls at the same
// twips as the Qt window, owner-drawn keys in their colours, the display
// line painted with its blanks counted, and the session logic of the core.
#pragma once

#include <windows.h>
#include <winsock2.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "session.hpp"
#include "winsock_link.hpp"

namespace delpad::win32 {

inline constexpr wchar_t window_class[] = L"TASTIERA";
inline constexpr UINT data_message = WM_APP + 1;
inline constexpr UINT send_message = WM_APP + 2;

class KeypadWindow {
public:
    explicit KeypadWindow(std::filesystem::path settings_dir);
    ~KeypadWindow();
    KeypadWindow(const KeypadWindow&) = delete;
    KeypadWindow& operator=(const KeypadWindow&) = delete;

    // Creates and shows the window, then runs start-up; false when the
    // window cannot be created.
    bool create(HINSTANCE instance, int show);
    // The message loop, with the PC keyboard playing the keypad.
    int run();

private:
    static LRESULT CALLBACK procedure(HWND hwnd, UINT message, WPARAM w, LPARAM l);
    LRESULT handle(UINT message, WPARAM w, LPARAM l);
    void build();
    void start();
    void layout();
    HFONT font(double points, bool bold, bool fixed);
    void draw_button(const DRAWITEMSTRUCT& item);
    void draw_display(const DRAWITEMSTRUCT& item);
    LRESULT colour_static(HDC dc, HWND control);
    void command(int id);
    void press(const KeySpec& key);
    void report(std::string_view text);
    void on_data(WPARAM socket, LPARAM event);
    void on_send(WPARAM socket, LPARAM event);
    void show_display(const std::string& text);
    void show_connection();
    bool keyboard(const MSG& msg);
    SettingsFields fields() const;
    HWND control(std::string_view name) const;
    HBRUSH brush(COLORREF colour);

    std::filesystem::path settings_dir_;
    HWND hwnd_ = nullptr;
    HWND tooltip_ = nullptr;
    std::unique_ptr<WinsockLink> data_link_;
    std::unique_ptr<WinsockLink> send_link_;
    std::unique_ptr<Session> session_;
    double scale_ = 1.0 / 15;    // pixels per twip now
    double natural_ = 1.0 / 15;  // the screen's own: dpi / 1440
    std::map<std::wstring, HFONT> fonts_;
    std::map<COLORREF, HBRUSH> brushes_;
    std::wstring display_face_;
};

}  // namespace delpad::win32
