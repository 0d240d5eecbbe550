// The Win32 window. Controls are plain user32 controls placed by the core's
// twips; keys are owner-drawn so that they carry their colours and a focus
// frame. Start-up, connect, SALVA IP and OFF skip whatever fails; a key that
// cannot be sent is reported with MessageBoxA.
#include "keypad_window.hpp"

#include <commctrl.h>

#include <algorithm>

#include "control_ids.hpp"
#include "display_text.hpp"
#include "form_layout.hpp"
#include "key_table.hpp"

namespace delpad::win32 {
namespace {

// The most one arrival on DATA takes; more waits for the next read.
constexpr std::size_t arrival_limit = 65536;
constexpr int icon_twips = 480;  // 32 pixels at 96 dpi

COLORREF colour_ref(std::uint32_t rgb) {
    return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

COLORREF colour_ref(const KeyColour& colour) {
    switch (colour.kind) {
        case KeyColour::Kind::system_highlight:
            return GetSysColor(COLOR_HIGHLIGHT);
        case KeyColour::Kind::system_button_face:
            return GetSysColor(COLOR_BTNFACE);
        case KeyColour::Kind::rgb:
            break;
    }
    return colour_ref(colour.rgb);
}

std::wstring wide(std::string_view single_bytes) {
    const std::u16string text = decode_cp1252(single_bytes);
    return std::wstring(text.begin(), text.end());
}

// The fields hold what the user typed; the settings are single-byte text.
std::string narrow(const std::wstring& text) {
    std::string bytes;
    for (const wchar_t c : text) bytes += c < 0x100 ? static_cast<char>(c) : '?';
    return bytes;
}

std::wstring window_text(HWND hwnd) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
    text.resize(
        static_cast<std::size_t>(GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()))));
    return text;
}

int CALLBACK font_found(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
    *reinterpret_cast<bool*>(found) = true;
    return 0;
}

bool font_exists(const wchar_t* face) {
    LOGFONTW query{};
    query.lfCharSet = DEFAULT_CHARSET;
    wcsncpy(query.lfFaceName, face, LF_FACESIZE - 1);
    bool found = false;
    HDC dc = GetDC(nullptr);
    EnumFontFamiliesExW(dc, &query, font_found, reinterpret_cast<LPARAM>(&found), 0);
    ReleaseDC(nullptr, dc);
    return found;
}

// Blanks at the end of a caption take no room on a key, so a digit whose
// caption ends in blanks still sits in the middle.
std::wstring caption_to_draw(const std::string& caption) {
    std::wstring text = wide(caption);
    while (!text.empty() && text.back() == L' ') text.pop_back();
    return text;
}

// The pictures on CARTACRED (a card) and SBTL (a summation sign).
void draw_icon(HDC dc, const std::string& name, RECT box) {
    const int w = box.right - box.left;
    const int h = box.bottom - box.top;
    if (name == "CARTACRED") {
        HBRUSH card = CreateSolidBrush(RGB(0x30, 0x60, 0xC0));
        HGDIOBJ old = SelectObject(dc, card);
        RoundRect(dc, box.left + w / 16, box.top + h * 7 / 32, box.right - w / 16,
                  box.top + h * 26 / 32, w / 8, h / 8);
        SelectObject(dc, old);
        DeleteObject(card);
        RECT stripe{box.left + w / 16, box.top + h * 11 / 32, box.right - w / 16,
                    box.top + h * 15 / 32};
        FillRect(dc, &stripe, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
        HBRUSH chip = CreateSolidBrush(RGB(0xE0, 0xC0, 0x40));
        RECT chip_box{box.left + w * 6 / 32, box.top + h * 18 / 32, box.left + w * 13 / 32,
                      box.top + h * 23 / 32};
        FillRect(dc, &chip_box, chip);
        DeleteObject(chip);
        return;
    }
    DrawTextW(dc, L"\u03A3", 1, &box, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
}

}  // namespace

KeypadWindow::KeypadWindow(std::filesystem::path settings_dir)
    : settings_dir_(std::move(settings_dir)) {}

KeypadWindow::~KeypadWindow() {
    session_.reset();
    data_link_.reset();
    send_link_.reset();
    for (auto& [name, f] : fonts_) DeleteObject(f);
    for (auto& [colour, b] : brushes_) DeleteObject(b);
}

HWND KeypadWindow::control(std::string_view name) const {
    return GetDlgItem(hwnd_, control_id(name));
}

HBRUSH KeypadWindow::brush(COLORREF colour) {
    auto& b = brushes_[colour];
    if (b == nullptr) b = CreateSolidBrush(colour);
    return b;
}

HFONT KeypadWindow::font(double points, bool bold, bool fixed) {
    const int pixels = font_pixels(points, scale_);
    const std::wstring face = fixed ? display_face_ : L"MS Sans Serif";
    const std::wstring key = face + L"/" + std::to_wstring(pixels) + (bold ? L"b" : L"");
    auto& f = fonts_[key];
    if (f == nullptr)
        f = CreateFontW(-pixels, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                        DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                        (fixed ? FIXED_PITCH | FF_MODERN : VARIABLE_PITCH | FF_SWISS),
                        face.c_str());
    return f;
}

bool KeypadWindow::create(HINSTANCE instance, int show) {
    INITCOMMONCONTROLSEX common{sizeof common, ICC_WIN95_CLASSES};
    InitCommonControlsEx(&common);
    display_face_ = font_exists(L"Lucida Console")    ? L"Lucida Console"
                    : font_exists(L"Liberation Mono") ? L"Liberation Mono"
                                                      : L"Courier New";

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = procedure;
    wc.hInstance = instance;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hIcon = LoadIcon(nullptr, IDI_APPLICATION);
    wc.hbrBackground = brush(colour_ref(form_colour));
    wc.lpszClassName = window_class;
    if (!RegisterClassExW(&wc)) return false;

    // The natural size is the form's twips at the screen's dpi; where that
    // does not fit the work area (scaled displays, small screens) the whole
    // form shrinks with its proportions.
    HDC screen = GetDC(nullptr);
    natural_ = GetDeviceCaps(screen, LOGPIXELSX) / 1440.0;
    ReleaseDC(nullptr, screen);
    const DWORD style = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
    RECT frame{0, 0, 100, 100};
    AdjustWindowRectEx(&frame, style, FALSE, WS_EX_CONTROLPARENT);
    const int frame_w = frame.right - frame.left - 100;
    const int frame_h = frame.bottom - frame.top - 100;
    RECT work{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const int work_w = work.right - work.left;
    const int work_h = work.bottom - work.top;
    scale_ = fit_scale(natural_, work_w - frame_w, work_h - frame_h);
    const PixelRect client = scaled({0, 0, form_width, form_height}, scale_);
    const int w = client.width + frame_w;
    const int h = client.height + frame_h;

    const std::wstring title = wide(program_title);
    hwnd_ = CreateWindowExW(WS_EX_CONTROLPARENT, window_class, title.c_str(), style,
                            work.left + std::max(0, (work_w - w) / 2),
                            work.top + std::max(0, (work_h - h) / 2), w, h, nullptr, nullptr,
                            instance, this);
    if (hwnd_ == nullptr) return false;
    data_link_ = std::make_unique<WinsockLink>(hwnd_, data_message);
    send_link_ = std::make_unique<WinsockLink>(hwnd_, send_message);
    session_ = std::make_unique<Session>(*data_link_, *send_link_, settings_dir_);
    build();
    layout();
    ShowWindow(hwnd_, show);
    UpdateWindow(hwnd_);
    start();
    return true;
}

void KeypadWindow::build() {
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(hwnd_, GWLP_HINSTANCE));
    auto make = [&](const wchar_t* cls, const std::wstring& text, DWORD style, int id) {
        return CreateWindowExW(0, cls, text.c_str(), WS_CHILD | style, 0, 0, 0, 0, hwnd_,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance,
                               nullptr);
    };
    for (const auto& c : form_controls()) {
        const std::wstring text = wide(c.text);
        const int id = control_id(c.name);
        const DWORD shown = c.hidden ? 0 : WS_VISIBLE;
        switch (c.kind) {
            case ControlKind::label:
                make(L"STATIC", text,
                     shown | SS_NOPREFIX | (std::string_view(c.name) == "Label3" ? SS_CENTER : 0),
                     id);
                break;
            case ControlKind::field: {
                const bool editable = std::string_view(c.name) == "Text3";
                make(L"EDIT", text,
                     shown | WS_BORDER | ES_AUTOHSCROLL | (editable ? WS_TABSTOP : WS_DISABLED),
                     id);
                break;
            }
            case ControlKind::button:
                make(L"BUTTON", text, shown | WS_TABSTOP | BS_OWNERDRAW, id);
                break;
            case ControlKind::display:
                // Owner-drawn, and never markup or mnemonics: the text comes
                // from the network.
                make(L"STATIC", L"", shown | SS_OWNERDRAW | SS_NOPREFIX, id);
                break;
            case ControlKind::mark:
                make(L"STATIC", text, shown | SS_CENTER | SS_CENTERIMAGE | SS_NOPREFIX, id);
                break;
        }
    }
    tooltip_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP,
                               CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, hwnd_,
                               nullptr, instance, nullptr);
    for (const auto& key : key_table()) {
        HWND button =
            make(L"BUTTON", wide(key.caption),
                 (key.hidden ? 0 : WS_VISIBLE) | WS_TABSTOP | BS_OWNERDRAW, control_id(key.name));
        std::wstring hint = wide(keyboard_hint(key.name));
        if (hint.empty() || tooltip_ == nullptr) continue;
        TTTOOLINFOW tool{};
        tool.cbSize = TTTOOLINFOW_V2_SIZE;
        tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        tool.hwnd = hwnd_;
        tool.uId = reinterpret_cast<UINT_PTR>(button);
        tool.lpszText = hint.data();
        SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    }
}

// Every control at its twips times the scale, its type size with it.
void KeypadWindow::layout() {
    for (const auto& c : form_controls()) {
        const PixelRect r = scaled(c.place, scale_);
        HWND hwnd = control(c.name);
        MoveWindow(hwnd, r.left, r.top, r.width, r.height, FALSE);
        const bool fixed = c.kind == ControlKind::display;
        SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font(c.point_size, !fixed, fixed)),
                     FALSE);
    }
    for (const auto& key : key_table()) {
        const PixelRect r = scaled(key.place, scale_);
        HWND hwnd = control(key.name);
        MoveWindow(hwnd, r.left, r.top, r.width, r.height, FALSE);
        SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font(key.point_size, true, false)),
                     FALSE);
    }
    InvalidateRect(hwnd_, nullptr, TRUE);
}

void KeypadWindow::start() {
    SetWindowTextW(control("Label3"), wide(credits_with_version(program_version())).c_str());
    const SettingsFields read = session_->read_settings();
    SetWindowTextW(control("Text3"), wide(read.address).c_str());
    SetWindowTextW(control("Text4"), wide(read.data).c_str());
    SetWindowTextW(control("Text5"), wide(read.send).c_str());
    // The keyboard belongs to the keypad until the IP field is clicked.
    SetFocus(hwnd_);
    session_->connect(fields());
    show_connection();
}

SettingsFields KeypadWindow::fields() const {
    return {narrow(window_text(control("Text3"))), narrow(window_text(control("Text4"))),
            narrow(window_text(control("Text5")))};
}

void KeypadWindow::command(int id) {
    if (const KeySpec* key = key_of_id(id)) {
        press(*key);
        return;
    }
    if (id == control_id("Command5")) {
        const bool saved = session_->save_address(fields());
        show_display({});
        show_connection();
        if (!saved) report(save_failure_text);
    } else if (id == control_id("Command4")) {
        session_->connect(fields());
        show_connection();
    } else if (id == control_id("Command3")) {
        session_->disconnect();
        show_display({});
        show_connection();
    } else if (id == control_id("CHIUDI")) {
        session_->off();
        DestroyWindow(hwnd_);
    }
}

void KeypadWindow::press(const KeySpec& key) {
    const bool sent = session_->press(key);
    show_connection();
    if (!sent) report(send_failure_text);
}

void KeypadWindow::report(std::string_view text) {
    const std::string message(text);
    const std::string title(program_title);
    MessageBoxA(hwnd_, message.c_str(), title.c_str(), MB_OK);
}

void KeypadWindow::show_display(const std::string& text) {
    SetWindowTextW(control("Label1"), wide(text).c_str());
    InvalidateRect(control("Label1"), nullptr, FALSE);
}

void KeypadWindow::show_connection() {
    const bool on = session_->connected();
    SetWindowTextW(control("Connessione"), wide(on ? mark_on_text : mark_off_text).c_str());
    InvalidateRect(control("Connessione"), nullptr, TRUE);
}

void KeypadWindow::on_data(WPARAM socket, LPARAM event) {
    switch (data_link_->on_message(socket, event)) {
        case WinsockLink::Event::readable: {
            const std::string bytes = data_link_->receive(arrival_limit);
            if (!bytes.empty()) show_display(session_->data_arrived(bytes));
            break;
        }
        case WinsockLink::Event::closed:
            // No stale amount stays once the register has gone.
            session_->data_closed();
            show_display({});
            break;
        default:
            break;
    }
    show_connection();
}

void KeypadWindow::on_send(WPARAM socket, LPARAM event) {
    // Nothing that comes on SEND is used; it is drained so that it cannot
    // fill the connection.
    if (send_link_->on_message(socket, event) == WinsockLink::Event::readable)
        send_link_->receive(arrival_limit);
    show_connection();
}

void KeypadWindow::draw_button(const DRAWITEMSTRUCT& item) {
    HDC dc = item.hDC;
    RECT box = item.rcItem;
    const KeySpec* key = key_of_id(static_cast<int>(item.CtlID));
    std::string caption;
    COLORREF face;
    double points;
    if (key != nullptr) {
        caption = key->caption;
        face = colour_ref(key->colour);
        points = key->point_size;
    } else {
        const FormControl& c = form_controls()[item.CtlID - first_form_id];
        caption = c.text;
        face = colour_ref(c.colour);
        points = c.point_size;
    }
    const bool down = (item.itemState & ODS_SELECTED) != 0;
    FillRect(dc, &box, brush(face));
    DrawEdge(dc, &box, down ? EDGE_SUNKEN : EDGE_RAISED, BF_RECT);
    RECT area = box;
    InflateRect(&area, -3, -3);
    if (down) OffsetRect(&area, 1, 1);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
    HGDIOBJ old_font = SelectObject(dc, font(points, true, false));
    // The picture sits on the left, so that a two-line caption still fits.
    if (key != nullptr && key->icon) {
        const int size = font_pixels(icon_twips / 20.0, scale_);
        const int top = (area.top + area.bottom - size) / 2;
        const RECT icon{area.left + 1, top, area.left + 1 + size, top + size};
        draw_icon(dc, key->name, icon);
        area.left = icon.right + 1;
    }
    const std::wstring text = caption_to_draw(caption);
    RECT measure = area;
    DrawTextW(dc, text.c_str(), -1, &measure, DT_CENTER | DT_WORDBREAK | DT_NOPREFIX | DT_CALCRECT);
    const int text_h = measure.bottom - measure.top;
    RECT place = area;
    place.top += std::max(0L, ((area.bottom - area.top) - text_h) / 2);
    DrawTextW(dc, text.c_str(), -1, &place, DT_CENTER | DT_WORDBREAK | DT_NOPREFIX);
    SelectObject(dc, old_font);

    // The key that Space would press: a black frame with a white one inside,
    // seen on light and dark faces alike.
    if (item.itemState & ODS_FOCUS) {
        RECT frame = box;
        InflateRect(&frame, -3, -3);
        HBRUSH black = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
        FrameRect(dc, &frame, black);
        InflateRect(&frame, -1, -1);
        FrameRect(dc, &frame, black);
        InflateRect(&frame, -1, -1);
        FrameRect(dc, &frame, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    }
}

// Each line centred by its cells, blanks included, so the register's padding
// places the text; a fixed-pitch font makes every cell the same.
void KeypadWindow::draw_display(const DRAWITEMSTRUCT& item) {
    HDC dc = item.hDC;
    const RECT box = item.rcItem;
    FillRect(dc, &box, brush(GetSysColor(COLOR_HIGHLIGHT)));
    HGDIOBJ old_font = SelectObject(dc, font(form_control("Label1").point_size, false, true));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    SIZE cell_size{};
    GetTextExtentPoint32W(dc, L"M", 1, &cell_size);
    const int cell = std::max<int>(1, cell_size.cx);
    const int width = box.right - box.left;
    const std::wstring caption = window_text(item.hwndItem);
    const std::u16string text(caption.begin(), caption.end());
    int top = box.top;
    for (const auto& line :
         display_lines(text, static_cast<std::size_t>(std::max(1, width / cell)))) {
        if (top >= box.bottom) break;
        const std::wstring drawn(line.begin(), line.end());
        const std::vector<INT> advances(drawn.size(), cell);
        ExtTextOutW(dc, box.left + centred_left(drawn.size(), cell, width), top, ETO_CLIPPED, &box,
                    drawn.c_str(), static_cast<UINT>(drawn.size()), advances.data());
        top += metrics.tmHeight;
    }
    SelectObject(dc, old_font);
}

LRESULT KeypadWindow::colour_static(HDC dc, HWND hwnd) {
    const int id = GetDlgCtrlID(hwnd);
    if (id == control_id("Connessione")) {
        const bool on = session_ && session_->connected();
        SetTextColor(dc, RGB(0xFF, 0xFF, 0xFF));
        const COLORREF back = colour_ref(on ? mark_on_colour : mark_off_colour);
        SetBkColor(dc, back);
        return reinterpret_cast<LRESULT>(brush(back));
    }
    if (id == control_id("Text4") || id == control_id("Text5"))
        return DefWindowProcW(hwnd_, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                              reinterpret_cast<LPARAM>(hwnd));
    SetTextColor(dc, colour_ref(caption_colour));
    SetBkColor(dc, colour_ref(form_colour));
    return reinterpret_cast<LRESULT>(brush(colour_ref(form_colour)));
}

LRESULT CALLBACK KeypadWindow::procedure(HWND hwnd, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_NCCREATE) {
        auto* self =
            static_cast<KeypadWindow*>(reinterpret_cast<CREATESTRUCTW*>(l)->lpCreateParams);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        self->hwnd_ = hwnd;
    }
    auto* self = reinterpret_cast<KeypadWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self == nullptr || self->session_ == nullptr) return DefWindowProcW(hwnd, message, w, l);
    return self->handle(message, w, l);
}

LRESULT KeypadWindow::handle(UINT message, WPARAM w, LPARAM l) {
    switch (message) {
        case WM_COMMAND:
            if (HIWORD(w) == BN_CLICKED) command(LOWORD(w));
            return 0;
        case WM_DRAWITEM: {
            const auto& item = *reinterpret_cast<const DRAWITEMSTRUCT*>(l);
            if (item.CtlType == ODT_STATIC)
                draw_display(item);
            else
                draw_button(item);
            return TRUE;
        }
        case WM_CTLCOLORSTATIC:
            return colour_static(reinterpret_cast<HDC>(w), reinterpret_cast<HWND>(l));
        case WM_SIZE:
            if (w != SIZE_MINIMIZED) {
                scale_ = fit_scale(natural_, LOWORD(l), HIWORD(l));
                layout();
            }
            return 0;
        case data_message:
            on_data(w, l);
            return 0;
        case send_message:
            on_send(w, l);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(hwnd_, message, w, l);
    }
}

// The PC keyboard plays the keypad, except while the IP field is being
// edited (Escape leaves it). True when the message was used up here.
bool KeypadWindow::keyboard(const MSG& msg) {
    if (hwnd_ == nullptr || (msg.hwnd != hwnd_ && !IsChild(hwnd_, msg.hwnd))) return false;
    const bool in_field = GetFocus() == control("Text3");
    // A held PC key presses its keypad key once (bit 30: the key was already
    // down): the register counts every press.
    const bool repeat = (msg.lParam & (1L << 30)) != 0;
    const KeySpec* key = nullptr;
    if (msg.message == WM_KEYDOWN || msg.message == WM_SYSKEYDOWN) {
        if (in_field) {
            if (msg.wParam != VK_ESCAPE) return false;
            SetFocus(hwnd_);
            return true;
        }
        if (msg.wParam == VK_RETURN)
            key = key_for_special(SpecialKey::enter);
        else if (msg.wParam == VK_BACK)
            key = key_for_special(SpecialKey::backspace);
        else if (msg.wParam == VK_ESCAPE)
            key = key_for_special(SpecialKey::escape);
        else if (msg.wParam >= VK_F1 && msg.wParam <= VK_F12)
            key = key_for_special(SpecialKey::function, static_cast<int>(msg.wParam - VK_F1) + 1);
    } else if (msg.message == WM_CHAR && !in_field) {
        key = key_for_char(static_cast<char32_t>(msg.wParam));
    }
    if (key == nullptr) return false;
    if (!repeat) press(*key);
    return true;
}

int KeypadWindow::run() {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (keyboard(msg)) continue;
        if (IsDialogMessageW(hwnd_, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}

}  // namespace delpad::win32
