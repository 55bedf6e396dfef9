// The Win32 window driven through its messages (needs a display: Wine under Xvfb in the tests).
#include <windows.h>

#include <array>
#include <string>

#include "Form1Window.h"
#include "Settings.h"
#include "TestSupport.h"
#include "platform/Error.h"
#include "platform/Utf.h"

namespace dormex::test {
namespace {

using win::ControlId;

std::string textOf(HWND window) {
    wchar_t buffer[256];
    const int length = ::GetWindowTextW(window, buffer, 256);
    return platform::toUtf8(std::wstring_view(buffer, length > 0 ? length : 0));
}

// A window's left, top, width and height: in its parent's client coordinates with `inParent`,
// else on the screen.
std::array<LONG, 4> placeOf(HWND window, bool inParent = true) {
    RECT r{};
    ::GetWindowRect(window, &r);
    if (inParent) ::MapWindowPoints(nullptr, ::GetParent(window), reinterpret_cast<POINT*>(&r), 2);
    return {r.left, r.top, r.right - r.left, r.bottom - r.top};
}

class Win32Window : public ProgramDirTest {
protected:
    void SetUp() override {
        ProgramDirTest::SetUp();
        window.show(SW_SHOWNORMAL);
    }
    HWND control(ControlId id) const { return window.control(id); }
    // A key press as the program's message loop hands it on.
    void press(HWND target, WPARAM key) {
        for (UINT message : {WM_KEYDOWN, WM_KEYUP}) {
            MSG msg{target, message, key, 0, 0, {}};
            win::DispatchWindowMessage(window.handle(), msg);
        }
    }
    void click(HWND target, int x, int y) {
        ::SendMessageW(target, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
        ::SendMessageW(target, WM_LBUTTONUP, 0, MAKELPARAM(x, y));
    }
    bool checked(int index) const { return form.CheckListBox1.Checked(index); }

    LogReport report{false, stderr};
    TForm1 form{
        []() -> std::shared_ptr<site::TopLevelObject> { throw Error("no site in this test"); },
        StartMode::Window, report, boxes};
    win::Form1Window window{form, false};
};

TEST_F(Win32Window, HasTheFixedOuterSizePlaceFontAndControlsAt96Dpi) {
    const HDC screen = ::GetDC(nullptr);
    ASSERT_EQ(::GetDeviceCaps(screen, LOGPIXELSY), 96) << "the layout is given for 96 DPI";
    ::ReleaseDC(nullptr, screen);

    const HWND main = window.handle();
    EXPECT_EQ(textOf(main), "Dormex");
    EXPECT_EQ(placeOf(main, false), (std::array<LONG, 4>{192, 114, 218, 285}));
    RECT client{}, frame{};
    // The client area is what the frame of this style leaves, and holds every control.
    ::GetClientRect(main, &client);
    ::AdjustWindowRectEx(&frame, static_cast<DWORD>(::GetWindowLongPtrW(main, GWL_STYLE)), FALSE,
                         static_cast<DWORD>(::GetWindowLongPtrW(main, GWL_EXSTYLE)));
    EXPECT_EQ(client.right, 218 - (frame.right - frame.left));
    EXPECT_EQ(client.bottom, 285 - (frame.bottom - frame.top));
    EXPECT_GE(client.right, 203);
    EXPECT_GE(client.bottom, 244);

    // Not resizable: the smallest and the largest size are both the fixed one.
    MINMAXINFO limits{};
    ::SendMessageW(main, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&limits));
    for (POINT size : {limits.ptMinTrackSize, limits.ptMaxTrackSize, limits.ptMaxSize}) {
        EXPECT_EQ(size.x, 218);
        EXPECT_EQ(size.y, 285);
    }
    EXPECT_EQ(::GetWindowLongPtrW(main, GWL_STYLE) & WS_THICKFRAME, 0);
    EXPECT_EQ(reinterpret_cast<HBRUSH>(::GetClassLongPtrW(main, GCLP_HBRBACKGROUND)),
              ::GetSysColorBrush(COLOR_BTNFACE));

    struct Place {
        ControlId id;
        const char* text;
        std::array<LONG, 4> place;  // left, top, width, height
    } places[] = {
        {win::kLabel1, " Select the Employee Types to Expire:", {8, 8, 193, 13}},
        {win::kCheckListBox1, "", {8, 24, 193, 153}},
        {win::kBtnCheckAll, "Check All", {124, 26, 75, 25}},
        {win::kLabel2, "Number of days to allow with no activity", {8, 184, 138, 26}},
        {win::kTxtDays, "30", {160, 184, 41, 21}},
        {win::kBtnSave, "Save Settings", {112, 219, 91, 25}},
    };
    for (const Place& p : places) {
        const HWND c = control(p.id);
        ASSERT_NE(c, nullptr) << p.text;
        EXPECT_EQ(placeOf(c), p.place) << p.text;
        EXPECT_EQ(textOf(c), p.text);
        LOGFONTW font{};
        ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(c, WM_GETFONT, 0, 0)), sizeof font,
                     &font);
        EXPECT_EQ(font.lfHeight, -11) << p.text;
        EXPECT_EQ(std::wstring(font.lfFaceName), L"MS Sans Serif") << p.text;
    }
    // Check All lies in front of the list where they overlap.
    EXPECT_EQ(::ChildWindowFromPointEx(main, POINT{190, 30}, CWP_SKIPINVISIBLE),
              control(win::kBtnCheckAll));

    const HWND list = control(win::kCheckListBox1);
    EXPECT_EQ(::SendMessageW(list, LB_GETCOUNT, 0, 0), 11);
    EXPECT_EQ(::SendMessageW(list, LB_GETITEMHEIGHT, 0, 0), 13);
}

TEST_F(Win32Window, TabGoesListSaveDaysCheckAllAndRound) {
    const HWND order[] = {control(win::kCheckListBox1), control(win::kBtnSave),
                          control(win::kTxtDays), control(win::kBtnCheckAll),
                          control(win::kCheckListBox1)};
    for (size_t i = 0; i + 1 < std::size(order); ++i)
        EXPECT_EQ(::GetNextDlgTabItem(window.handle(), order[i], FALSE), order[i + 1]) << i;
    EXPECT_EQ(::GetFocus(), order[0]);
    press(::GetFocus(), VK_TAB);
    EXPECT_EQ(::GetFocus(), order[1]) << "the message loop moves the focus with Tab";
}

TEST_F(Win32Window, SpaceAndClickOnTheBoxToggleTwoStates) {
    const HWND list = control(win::kCheckListBox1);
    press(list, VK_SPACE);
    EXPECT_TRUE(checked(0)) << "the focus starts on the first entry";
    press(list, VK_DOWN);
    press(list, VK_SPACE);
    EXPECT_TRUE(checked(1));
    press(list, VK_SPACE);
    EXPECT_FALSE(checked(1));

    click(list, 5, 3 * 13 + 6);
    EXPECT_TRUE(checked(3));
    click(list, 5, 3 * 13 + 6);
    EXPECT_FALSE(checked(3));
    click(list, 100, 4 * 13 + 6);
    EXPECT_FALSE(checked(4)) << "a click on the name only selects";
}

TEST_F(Win32Window, CheckAllThenSaveWritesTheFile) {
    ::SetWindowTextW(control(win::kTxtDays), L"45");
    ::SendMessageW(control(win::kBtnCheckAll), BM_CLICK, 0, 0);
    ::SendMessageW(control(win::kBtnSave), BM_CLICK, 0, 0);
    std::string expected = "[General]\r\nDays=45\r\n";
    for (int i = 0; i <= 10; ++i) expected += "type" + std::to_string(i) + "=True\r\n";
    EXPECT_EQ(readFile(settingsPath()), expected);
    EXPECT_TRUE(boxes.boxes.empty());
}

// The window's form stands for a set-up that stopped at the site library: no selection read.
TEST_F(Win32Window, SaveAfterASetupThatStoppedEarlyKeepsTheTypesItNeverRead) {
    writeFile(settingsPath(), "[General]\r\nDays=30\r\ntype0=True\r\ntype3=yes\r\n");
    click(control(win::kCheckListBox1), 5, 5 * 13 + 6);
    ::SendMessageW(control(win::kBtnSave), BM_CLICK, 0, 0);
    EXPECT_EQ(readFile(settingsPath()),
              "[General]\r\nDays=30\r\ntype0=True\r\ntype3=yes\r\ntype5=True\r\n");
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(Win32Window, ReadOnlySettingsFileGivesOneMessageBoxPerKey) {
    writeFile(settingsPath(), "[General]\r\nDays=7\r\n");
    Settings().readSelections(form.CheckListBox1);
    ASSERT_TRUE(
        ::SetFileAttributesW(platform::toWide(settingsPath()).c_str(), FILE_ATTRIBUTE_READONLY));
    ::SendMessageW(control(win::kBtnSave), BM_CLICK, 0, 0);
    ::SetFileAttributesW(platform::toWide(settingsPath()).c_str(), FILE_ATTRIBUTE_NORMAL);
    ASSERT_EQ(boxes.boxes.size(), 12u);
    for (const auto& box : boxes.boxes) {
        EXPECT_FALSE(box.error);
        EXPECT_EQ(box.title, "Dormex");
        EXPECT_EQ(box.text, "Unable to write to " + settingsPath());
    }
    EXPECT_EQ(readFile(settingsPath()), "[General]\r\nDays=7\r\n");
}

// Also when started minimized without activation, as a scheduled task may be: the run ends.
TEST_F(Win32Window, ShowingItAfterAnUnattendedRunEndsTheMessageLoop) {
    MSG message;
    EXPECT_FALSE(::PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    form.quitOnShow = true;
    for (int show : {SW_SHOWNORMAL, SW_SHOWMINNOACTIVE, SW_SHOWMINIMIZED}) {
        window.show(show);
        EXPECT_TRUE(::PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << show;
    }
}

}  // namespace
}  // namespace dormex::test
