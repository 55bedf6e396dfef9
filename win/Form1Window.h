#pragma once

#include <windows.h>

#include "uDormex.h"

namespace dormex::win {

// Hands one message of the thread's loop on: the window's dialog keys (Tab between the controls)
// first, else the usual translation and dispatch.
void DispatchWindowMessage(HWND window, MSG& message);

// Control identifiers of the window's children.
enum ControlId : int {
    kLabel1 = 101,
    kCheckListBox1,
    kBtnCheckAll,
    kLabel2,
    kTxtDays,
    kBtnSave,
};

// The main window in the Win32 API: a view over TForm1, as the Qt window is on Linux. Every state
// lives in the form; the window reads it when built and writes each user change straight back.
// Its layout is in pixels at 96 dots per inch, scaled by the screen's DPI. The form must outlive
// the window.
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
    // Label1's font where the window's is too wide for its fixed width.
    HFONT m_label1Font = nullptr;
    WNDPROC m_listDefault = nullptr;
};

}  // namespace dormex::win
