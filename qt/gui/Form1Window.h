#pragma once

#include <QWidget>
#include <array>

#include "Form1Layout.h"
#include "uDormex.h"

class QListWidget;
class QListWidgetItem;
class QShowEvent;

namespace dormex::gui {

// The main window: a view over TForm1. Every state lives in the form; the window reads it when
// built and writes each user change straight back into it. The form must outlive the window.
class Form1Window : public QWidget {
public:
    explicit Form1Window(TForm1& form, QWidget* parent = nullptr);

    // Sets every item's check box from the form's checked flags.
    void refreshChecks();

protected:
    // Asks the application to quit (queued) when the form says so, after an unattended run.
    void showEvent(QShowEvent* event) override;

private:
    // Makes the layout's controls, their Tab order and the focus on the first of it.
    void createControls();
    QWidget* createControl(const ControlLayout& layout);
    template <class Widget>
    Widget* control(Form1Control which) const {
        return static_cast<Widget*>(m_controls[static_cast<size_t>(which)]);
    }

    void btnCheckAllClick();
    void btnSaveClick();
    void itemChanged(QListWidgetItem* item);

    TForm1& m_form;
    std::array<QWidget*, static_cast<size_t>(Form1Control::kCount)> m_controls{};
    QListWidget* m_checkListBox1 = nullptr;
    // Set while the window itself writes check states, so those writes are not echoed back.
    bool m_refreshing = false;
};

}  // namespace dormex::gui
