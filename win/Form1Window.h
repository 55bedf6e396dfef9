#pragma once

#include <windows.h>

#include <vector>

#include "Form1Layout.h"
#include "uDormex.h"

namespace dormex::win {

// Hands one message of the thread's loop on: the window's dialog keys (Tab between the controls)
// first, else the usual translation and dispatch.
void DispatchWindowMessage(HWND window, MSG& message);

// The control identifier of the layout's control `which`.
constexpr int controlId(Form1Control which) {
    return 101 + static_cast<int>(which);
}

// Control identifiers of the window's children.
enum ControlId : int {
    kLabel1 = controlId(Form1Control::kLabel1),
    kCheckListBox1 = controlId(Form1Control::kCheckListBox1),
    kBtnCheckAll = controlId(Form1Control::kBtnCheckAll),
    kLabel2 = controlId(Form1Control::kLabel2),
    kTxtDays = controlId(Form1Control::kTxtDays),
    kBtnSave = controlId(Form1Control::kBtnSave),
};

// The main window in the Win32 API: a view over TForm1, as the Qt window is on Linux. Every state
// lives in the form; the window reads it when built and writes each user change straight back.
// Its layout is kForm1Layout, in pixels at 96 dots per inch scaled by the screen's DPI. The form
// must outlive the window.
class Form1Window {
public:
    // Creates the window hidden. With `endsMessageLoop`, destroying it (closing the window) posts
    // the quit message that ends the thread's message loop.
    Form1Window(TForm1& form, bool endsMessageLoop);
    ~Form1Window();
    Form1Window(const Form1Window&) = delete;
    Form1Window& operator=(const Form1Window&) = delete;

    HWND handle() const { return m_window; }
    HWND control(ControlId id) const { return ::GetDlgItem(m_window, id); }

    // Shows the window as `showCommand` asks and gives the list the focus; then, when the form
    // says so after an unattended run, posts the quit message.
    void show(int showCommand);

    // Redraws every entry's check box from the form's checked flags.
    void refreshChecks();

private:
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK listProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handleList(UINT message, WPARAM wParam, LPARAM lParam);

    void createControls();
    // Gives the label a narrower cut of the window's font where its text is too wide for it.
    void narrowToFit(HWND label);
    int scaled(int pixels) const;
    void toggle(int index);
    void drawItem(const DRAWITEMSTRUCT& item) const;
    void command(int id, int code);

    TForm1& m_form;
    bool m_endsMessageLoop;
    int m_dpi = 96;
    HWND m_window = nullptr;
    HWND m_list = nullptr;
    HFONT m_font = nullptr;
    // The labels' narrower fonts, where the window's is too wide for their fixed width.
    std::vector<HFONT> m_narrowFonts;
    WNDPROC m_listDefault = nullptr;
};

}  // namespace dormex::win
