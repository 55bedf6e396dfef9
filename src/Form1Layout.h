#pragma once

#include <array>
#include <cstddef>
#include <vector>

namespace dormex {

// What a control of the main window is; each window toolkit has its own control for each kind.
enum class ControlKind { StaticText, CheckList, PushButton, TextBox };

// The main window's controls, in the order of Form1Layout::controls (the order they are made in).
enum class Form1Control : int {
    kLabel1,
    kCheckListBox1,
    kBtnCheckAll,
    kLabel2,
    kTxtDays,
    kBtnSave,
    kCount,
};

// Tab order of a control that Tab never reaches.
constexpr int kNoTabStop = -1;

// A place and size in pixels at 96 dots per inch.
struct PixelBox {
    int left, top, width, height;
};

// A font: its face, its size in points and its character height in pixels (negative) at 96 dots
// per inch.
struct FontLayout {
    const char* face;
    int pointSize;
    int height;
};

// One control of the main window. Its place is in the window's client area; `text` is empty where
// the form gives the content. A static text either wraps onto more lines or keeps its one line in
// its font narrowed just enough to fit its width. A control `inFront` lies in front of every
// control it overlaps.
struct ControlLayout {
    const char* name;
    ControlKind kind;
    const char* text;
    PixelBox place;
    int tabOrder;
    bool wraps;
    bool inFront;
};

// The main window: its name and caption; its place on the screen and its outer size, frame
// included, the smallest and largest size alike; its font; the check list's row height; and its
// controls.
struct Form1Layout {
    const char* name;
    const char* caption;
    PixelBox outer;
    FontLayout font;
    int itemHeight;
    std::array<ControlLayout, static_cast<size_t>(Form1Control::kCount)> controls;

    const ControlLayout& control(Form1Control which) const {
        return controls[static_cast<size_t>(which)];
    }

    // The controls that Tab reaches, in Tab order.
    std::vector<Form1Control> tabStops() const;
};

// The main window's layout, which both window toolkits build their window from.
extern const Form1Layout kForm1Layout;

}  // namespace dormex
