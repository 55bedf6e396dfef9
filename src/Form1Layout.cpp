#include "Form1Layout.h"

#include <algorithm>

#include "platform/Platform.h"

namespace dormex {

const Form1Layout kForm1Layout = {
    "Form1",
    platform::kApplicationTitle,
    {192, 114, 218, 285},
    {"MS Sans Serif", 8, -11},
    13,
    {{
        {"Label1",
         ControlKind::StaticText,
         " Select the Employee Types to Expire:",
         {8, 8, 193, 13},
         kNoTabStop,
         false,
         false},
        {"CheckListBox1", ControlKind::CheckList, "", {8, 24, 193, 153}, 0, false, false},
        {"btnCheckAll", ControlKind::PushButton, "Check All", {124, 26, 75, 25}, 3, false, true},
        {"Label2",
         ControlKind::StaticText,
         "Number of days to allow with no activity",
         {8, 184, 138, 26},
         kNoTabStop,
         true,
         false},
        {"txtDays", ControlKind::TextBox, "", {160, 184, 41, 21}, 2, false, false},
        {"btnSave", ControlKind::PushButton, "Save Settings", {112, 219, 91, 25}, 1, false, false},
    }}};

std::vector<Form1Control> Form1Layout::tabStops() const {
    std::vector<Form1Control> stops;
    for (size_t i = 0; i < controls.size(); ++i)
        if (controls[i].tabOrder != kNoTabStop) stops.push_back(static_cast<Form1Control>(i));
    std::stable_sort(stops.begin(), stops.end(), [this](Form1Control a, Form1Control b) {
        return control(a).tabOrder < control(b).tabOrder;
    });
    return stops;
}

}  // namespace dormex
