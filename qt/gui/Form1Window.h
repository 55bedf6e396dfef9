#pragma once

#include <QWidget>

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
    void btnCheckAllClick();
    void btnSaveClick();
    void itemChanged(QListWidgetItem* item);

    TForm1& m_form;
    QListWidget* m_checkListBox1 = nullptr;
    // Set while the window itself writes check states, so those writes are not echoed back.
    bool m_refreshing = false;
};

}  // namespace dormex::gui
