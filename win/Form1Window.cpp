#include "Form1Window.h"

#include <string>

#include "platform/Error.h"
#include "platform/Platform.h"
#include "platform/Utf.h"

namespace dormex::win {
namespace {

using platform::toUtf8;
using platform::toWide;

constexpr wchar_t kClassName[] = L"DormexForm1";
constexpr int kOuterWidth = 218;
constexpr int kOuterHeight = 285;
constexpr int kLeft = 192;
constexpr int kTop = 114;
constexpr int kItemHeight = 13;
constexpr int kFontHeight = -11;
constexpr int kCheckBoxSize = 11;
constexpr int kTextIndent = 16;
constexpr DWORD kWindowStyle =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;

// One child control: its window class, texts and styles, and its place at 96 DPI.
struct ControlLayout {
    ControlId id;
    const wchar_t* className;
    const wchar_t* text;
    DWORD style;
    DWORD exStyle;
    int left, top, width, height;
};

// In Z order, front first: the order the Tab key follows (list, Save, days, Check All, round
// again), with Check All in front of the list's upper right corner.
const ControlLayout kControls[] = {
    {kBtnCheckAll, L"BUTTON", L"Check All", WS_TABSTOP | BS_PUSHBUTTON, 0, 124, 26, 75, 25},
    {kCheckListBox1, L"LISTBOX", L"",
     WS_TABSTOP | WS_VSCROLL | LBS_OWNERDRAWFIXED | LBS_HASSTRINGS | LBS_NOTIFY |
         LBS_NOINTEGRALHEIGHT,
     WS_EX_CLIENTEDGE, 8, 24, 193, 153},
    {kBtnSave, L"BUTTON", L"Save Settings", WS_TABSTOP | BS_PUSHBUTTON, 0, 112, 219, 91, 25},
    {kTxtDays, L"EDIT", L"", WS_TABSTOP | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE, 160, 184, 41, 21},
    {kLabel1, L"STATIC", L" Select the Employee Types to Expire:", SS_LEFTNOWORDWRAP | SS_NOPREFIX,
     0, 8, 8, 193, 13},
    {kLabel2, L"STATIC", L"Number of days to allow with no activity", SS_LEFT | SS_NOPREFIX, 0, 8,
     184, 138, 26},
};

void registerClass(HINSTANCE instance) {
    WNDCLASSEXW windowClass{};
    if (::GetClassInfoExW(instance, kClassName, &windowClass)) return;
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = ::DefWindowProcW;
    windowClass.hInstance = instance;
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
    m_window = ::CreateWindowExW(0, kClassName, toWide(platform::kApplicationTitle).c_str(),
                                 kWindowStyle, scaled(kLeft), scaled(kTop), scaled(kOuterWidth),
                                 scaled(kOuterHeight), nullptr, nullptr, instance, nullptr);
    if (!m_window) throw Error("Unable to create the window");
    ::SetWindowLongPtrW(m_window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    ::SetWindowLongPtrW(m_window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&windowProc));
    m_font = ::CreateFontW(scaled(kFontHeight), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                           DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                           DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, L"MS Sans Serif");
    createControls();
}

Form1Window::~Form1Window() {
    if (m_window) ::DestroyWindow(m_window);
    if (m_font) ::DeleteObject(m_font);
    if (m_label1Font) ::DeleteObject(m_label1Font);
}

int Form1Window::scaled(int pixels) const {
    return ::MulDiv(pixels, m_dpi, 96);
}

void Form1Window::createControls() {
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    HWND previous = HWND_TOP;
    for (const ControlLayout& layout : kControls) {
        const HWND control = ::CreateWindowExW(
            layout.exStyle, layout.className, layout.text,
            WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | layout.style, scaled(layout.left),
            scaled(layout.top), scaled(layout.width), scaled(layout.height), m_window,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(layout.id)), instance, nullptr);
        if (!control) throw Error("Unable to create the window");
        ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(m_font), FALSE);
        // The Z order is the table's order whatever order the system inserts new children in.
        ::SetWindowPos(control, previous, 0, 0, 0, 0,
                       SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOREDRAW);
        previous = control;
    }

    m_label1Font = narrowedToFit(control(kLabel1), m_font);
    if (m_label1Font)
        ::SendMessageW(control(kLabel1), WM_SETFONT, reinterpret_cast<WPARAM>(m_label1Font), FALSE);

    m_list = control(kCheckListBox1);
    ::SendMessageW(m_list, LB_SETITEMHEIGHT, 0, scaled(kItemHeight));
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
            const POINT size{scaled(kOuterWidth), scaled(kOuterHeight)};
            info->ptMinTrackSize = info->ptMaxTrackSize = info->ptMaxSize = size;
            return 0;
        }
        case WM_MEASUREITEM:
            reinterpret_cast<MEASUREITEMSTRUCT*>(lParam)->itemHeight =
                static_cast<UINT>(scaled(kItemHeight));
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
