#include "Form1Window.h"

#include <algorithm>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "platform/Utf.h"

namespace dormex::win {
namespace {

using platform::toUtf8;
using platform::toWide;

constexpr wchar_t kClassName[] = L"DormexForm1";
constexpr int kCheckBoxSize = 11;
constexpr int kTextIndent = 16;
constexpr DWORD kWindowStyle =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;

// A control's window class and styles.
struct ControlClass {
    const wchar_t* className;
    DWORD style;
    DWORD exStyle;
};

// The window class and styles of the layout's control: its kind's, a tab stop where Tab reaches it.
ControlClass classOf(const ControlLayout& layout) {
    const DWORD tabStop = layout.tabOrder == kNoTabStop ? 0 : WS_TABSTOP;
    const DWORD lines = layout.wraps ? SS_LEFT : SS_LEFTNOWORDWRAP;
    switch (layout.kind) {
        case ControlKind::StaticText:
            return {L"STATIC", lines | SS_NOPREFIX, 0};
        case ControlKind::CheckList:
            return {L"LISTBOX",
                    tabStop | WS_VSCROLL | LBS_OWNERDRAWFIXED | LBS_HASSTRINGS | LBS_NOTIFY |
                        LBS_NOINTEGRALHEIGHT,
                    WS_EX_CLIENTEDGE};
        case ControlKind::PushButton:
            return {L"BUTTON", tabStop | BS_PUSHBUTTON, 0};
        case ControlKind::TextBox:
            return {L"EDIT", tabStop | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE};
    }
    throw Error("Unknown control kind");
}

// The layout's controls in Z order, front first. Tab follows the Z order, so it is the Tab order
// begun at its first control that lies in front (Tab still goes round the same cycle), then the
// controls Tab never reaches.
std::vector<Form1Control> zOrder() {
    std::vector<Form1Control> order = kForm1Layout.tabStops();
    const auto front = std::find_if(order.begin(), order.end(),
                                    [](Form1Control c) { return kForm1Layout.control(c).inFront; });
    std::rotate(order.begin(), front, order.end());
    for (size_t i = 0; i < kForm1Layout.controls.size(); ++i)
        if (kForm1Layout.controls[i].tabOrder == kNoTabStop)
            order.push_back(static_cast<Form1Control>(i));
    return order;
}

void registerClass(HINSTANCE instance) {
    WNDCLASSEXW windowClass{};
    if (::GetClassInfoExW(instance, kClassName, &windowClass)) return;
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = ::DefWindowProcW;
    windowClass.hInstance = instance;
    // The program's own icon, where the module holds one (the test programs do not).
    windowClass.hIcon = ::LoadIconW(instance, MAKEINTRESOURCEW(1));
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = ::GetSysColorBrush(COLOR_BTNFACE);
    windowClass.lpszClassName = kClassName;
    if (!::RegisterClassExW(&windowClass)) throw Error("Unable to register the window class");
}

// Width in pixels of the window's text in `font`.
int textWidth(HWND window, HFONT font) {
    const int length = ::GetWindowTextLengthW(window);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    ::GetWindowTextW(window, text.data(), length + 1);
    const HDC dc = ::GetDC(window);
    const HGDIOBJ old = ::SelectObject(dc, font);
    SIZE size{};
    ::GetTextExtentPoint32W(dc, text.c_str(), length, &size);
    ::SelectObject(dc, old);
    ::ReleaseDC(window, dc);
    return size.cx;
}

// A narrower cut of `font`, of the same height and face, in which the text of `label` fits its
// width; null when it fits already. Substitute fonts (Wine's) run wider than the original.
HFONT narrowedToFit(HWND label, HFONT font) {
    RECT box{};
    ::GetClientRect(label, &box);
    if (textWidth(label, font) <= box.right) return nullptr;
    LOGFONTW shape{};
    ::GetObjectW(font, sizeof shape, &shape);
    TEXTMETRICW metrics{};
    const HDC dc = ::GetDC(label);
    const HGDIOBJ old = ::SelectObject(dc, font);
    ::GetTextMetricsW(dc, &metrics);
    ::SelectObject(dc, old);
    ::ReleaseDC(label, dc);
    HFONT narrow = nullptr;
    for (LONG average = metrics.tmAveCharWidth - 1; average >= 1; --average) {
        if (narrow) ::DeleteObject(narrow);
        shape.lfWidth = average;
        narrow = ::CreateFontIndirectW(&shape);
        if (textWidth(label, narrow) <= box.right) break;
    }
    return narrow;
}

int screenDpi() {
    const HDC screen = ::GetDC(nullptr);
    const int dpi = screen ? ::GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen) ::ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : 96;
}

}  // namespace

void DispatchWindowMessage(HWND window, MSG& message) {
    if (window && ::IsDialogMessageW(window, &message)) return;
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
}

Form1Window::Form1Window(TForm1& form, bool endsMessageLoop)
    : m_form(form), m_endsMessageLoop(endsMessageLoop), m_dpi(screenDpi()) {
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    registerClass(instance);
    m_window =
        ::CreateWindowExW(0, kClassName, toWide(kForm1Layout.caption).c_str(), kWindowStyle,
                          scaled(kForm1Layout.outer.left), scaled(kForm1Layout.outer.top),
                          scaled(kForm1Layout.outer.width), scaled(kForm1Layout.outer.height),
                          nullptr, nullptr, instance, nullptr);
    if (!m_window) throw Error("Unable to create the window");
    ::SetWindowLongPtrW(m_window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    ::SetWindowLongPtrW(m_window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&windowProc));
    m_font =
        ::CreateFontW(scaled(kForm1Layout.font.height), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                      DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                      DEFAULT_PITCH | FF_SWISS, toWide(kForm1Layout.font.face).c_str());
    createControls();
}

Form1Window::~Form1Window() {
    if (m_window) ::DestroyWindow(m_window);
    if (m_font) ::DeleteObject(m_font);
    for (HFONT font : m_narrowFonts) ::DeleteObject(font);
}

void Form1Window::narrowToFit(HWND label) {
    const HFONT narrow = narrowedToFit(label, m_font);
    if (!narrow) return;
    m_narrowFonts.push_back(narrow);
    ::SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(narrow), FALSE);
}

int Form1Window::scaled(int pixels) const {
    return ::MulDiv(pixels, m_dpi, 96);
}

void Form1Window::createControls() {
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    HWND previous = HWND_TOP;
    for (Form1Control which : zOrder()) {
        const ControlLayout& layout = kForm1Layout.control(which);
        const ControlClass kind = classOf(layout);
        const HWND control = ::CreateWindowExW(
            kind.exStyle, kind.className, toWide(layout.text).c_str(),
            WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | kind.style, scaled(layout.place.left),
            scaled(layout.place.top), scaled(layout.place.width), scaled(layout.place.height),
            m_window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(controlId(which))), instance,
            nullptr);
        if (!control) throw Error("Unable to create the window");
        ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(m_font), FALSE);
        // The Z order is the creation order whatever order the system inserts new children in.
        ::SetWindowPos(control, previous, 0, 0, 0, 0,
                       SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOREDRAW);
        previous = control;
        if (layout.kind == ControlKind::StaticText && !layout.wraps) narrowToFit(control);
    }

    m_list = control(kCheckListBox1);
    ::SendMessageW(m_list, LB_SETITEMHEIGHT, 0, scaled(kForm1Layout.itemHeight));
    for (int i = 0; i < m_form.CheckListBox1.Count(); ++i)
        ::SendMessageW(m_list, LB_ADDSTRING, 0,
                       reinterpret_cast<LPARAM>(toWide(m_form.CheckListBox1.Name(i)).c_str()));
    // The focus starts on the first entry, so Space toggles it and the arrows move from it.
    ::SendMessageW(m_list, LB_SETCURSEL, 0, 0);
    ::SetWindowLongPtrW(m_list, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    m_listDefault = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(m_list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&listProc)));

    // Set last, so the change notification it sends finds the form's text already there.
    ::SetWindowTextW(control(kTxtDays), toWide(m_form.txtDays).c_str());
}

void Form1Window::show(int showCommand) {
    ::ShowWindow(m_window, showCommand);
    ::UpdateWindow(m_window);
    ::SetFocus(m_list);
    if (m_form.FormShow()) ::PostQuitMessage(0);
}

void Form1Window::refreshChecks() {
    ::InvalidateRect(m_list, nullptr, FALSE);
}

void Form1Window::toggle(int index) {
    if (index < 0 || index >= m_form.CheckListBox1.Count()) return;
    RunGuarded(
        [&] { m_form.CheckListBox1.SetChecked(index, !m_form.CheckListBox1.Checked(index)); },
        m_form.boxes());
    RECT item{};
    if (::SendMessageW(m_list, LB_GETITEMRECT, static_cast<WPARAM>(index),
                       reinterpret_cast<LPARAM>(&item)) != LB_ERR)
        ::InvalidateRect(m_list, &item, FALSE);
}

void Form1Window::drawItem(const DRAWITEMSTRUCT& item) const {
    if (item.itemID == static_cast<UINT>(-1)) return;
    const int index = static_cast<int>(item.itemID);
    const bool selected = (item.itemState & ODS_SELECTED) != 0;
    RECT row = item.rcItem;
    ::FillRect(item.hDC, &row, ::GetSysColorBrush(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW));

    const int box = scaled(kCheckBoxSize);
    const int top = row.top + (row.bottom - row.top - box) / 2;
    RECT check{row.left + scaled(2), top, row.left + scaled(2) + box, top + box};
    bool checked = false;
    Guarded([&] { checked = m_form.CheckListBox1.Checked(index); }, [](const std::string&) {});
    ::DrawFrameControl(item.hDC, &check, DFC_BUTTON,
                       DFCS_BUTTONCHECK | DFCS_FLAT | (checked ? DFCS_CHECKED : 0));

    const int length = static_cast<int>(::SendMessageW(m_list, LB_GETTEXTLEN, item.itemID, 0));
    std::wstring text(length > 0 ? static_cast<size_t>(length) + 1 : 1, L'\0');
    const int copied = static_cast<int>(
        ::SendMessageW(m_list, LB_GETTEXT, item.itemID, reinterpret_cast<LPARAM>(text.data())));
    RECT label{row.left + scaled(kTextIndent), row.top, row.right, row.bottom};
    ::SetBkMode(item.hDC, TRANSPARENT);
    ::SetTextColor(item.hDC, ::GetSysColor(selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
    ::DrawTextW(item.hDC, text.c_str(), copied > 0 ? copied : 0, &label,
                DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    if (item.itemState & ODS_FOCUS) ::DrawFocusRect(item.hDC, &row);
}

void Form1Window::command(int id, int code) {
    if (id == kTxtDays && code == EN_CHANGE) {
        const HWND edit = control(kTxtDays);
        const int length = ::GetWindowTextLengthW(edit);
        std::wstring text(static_cast<size_t>(length) + 1, L'\0');
        const int copied = ::GetWindowTextW(edit, text.data(), length + 1);
        m_form.txtDays = toUtf8(std::wstring_view(text.data(), copied > 0 ? copied : 0));
    } else if (id == kBtnCheckAll && code == BN_CLICKED) {
        RunGuarded([this] { m_form.btnCheckAllClick(); }, m_form.boxes());
        refreshChecks();
    } else if (id == kBtnSave && code == BN_CLICKED) {
        RunGuarded([this] { m_form.btnSaveClick(); }, m_form.boxes());
        refreshChecks();
    }
}

LRESULT CALLBACK Form1Window::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<Form1Window*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    return self ? self->handle(message, wParam, lParam)
                : ::DefWindowProcW(window, message, wParam, lParam);
}

LRESULT Form1Window::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_GETMINMAXINFO: {
            // Smallest, largest and maximised size are all the one fixed size.
            auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
            const POINT size{scaled(kForm1Layout.outer.width), scaled(kForm1Layout.outer.height)};
            info->ptMinTrackSize = info->ptMaxTrackSize = info->ptMaxSize = size;
            return 0;
        }
        case WM_MEASUREITEM:
            reinterpret_cast<MEASUREITEMSTRUCT*>(lParam)->itemHeight =
                static_cast<UINT>(scaled(kForm1Layout.itemHeight));
            return TRUE;
        case WM_DRAWITEM:
            if (static_cast<int>(wParam) == kCheckListBox1) {
                drawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
                return TRUE;
            }
            break;
        case WM_COMMAND:
            command(LOWORD(wParam), HIWORD(wParam));
            return 0;
        case WM_CLOSE:
            ::DestroyWindow(m_window);
            return 0;
        case WM_DESTROY:
            if (m_endsMessageLoop) ::PostQuitMessage(0);
            break;
        case WM_NCDESTROY: {
            const HWND window = m_window;
            m_window = nullptr;
            m_list = nullptr;
            return ::DefWindowProcW(window, message, wParam, lParam);
        }
    }
    return ::DefWindowProcW(m_window, message, wParam, lParam);
}

LRESULT CALLBACK Form1Window::listProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<Form1Window*>(::GetWindowLongPtrW(list, GWLP_USERDATA));
    return self->handleList(message, wParam, lParam);
}

LRESULT Form1Window::handleList(UINT message, WPARAM wParam, LPARAM lParam) {
    const HWND list = m_list;
    const WNDPROC base = m_listDefault;
    switch (message) {
        case WM_LBUTTONDOWN:
        case WM_LBUTTONDBLCLK: {
            // A click on an entry's check box toggles it; elsewhere it only moves the focus.
            const LRESULT result = ::CallWindowProcW(base, list, message, wParam, lParam);
            const LRESULT hit = ::SendMessageW(list, LB_ITEMFROMPOINT, 0, lParam);
            const int x = static_cast<short>(LOWORD(lParam));
            if (HIWORD(hit) == 0 && x < scaled(kTextIndent)) toggle(LOWORD(hit));
            return result;
        }
        case WM_KEYDOWN:
            if (wParam == VK_SPACE) {
                toggle(static_cast<int>(::SendMessageW(list, LB_GETCARETINDEX, 0, 0)));
                return 0;
            }
            break;
        case WM_CHAR:
            if (wParam == L' ') return 0;
            break;
    }
    return ::CallWindowProcW(base, list, message, wParam, lParam);
}

}  // namespace dormex::win
