#include "gui/GuiBoxes.h"

#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QShowEvent>

namespace dormex::gui {
namespace {

// A message box that centres its frame on its screen once laid out for showing, whatever
// window happens to be active.
class CentredMessageBox : public QMessageBox {
public:
    using QMessageBox::QMessageBox;

protected:
    void showEvent(QShowEvent* event) override {
        QMessageBox::showEvent(event);
        const QScreen* target = screen() ? screen() : QGuiApplication::primaryScreen();
        if (!target) return;
        QRect frame = frameGeometry();
        frame.moveCenter(target->availableGeometry().center());
        move(frame.topLeft());
    }
};

// Shows a `Box` with `icon` and one OK button, modal to the whole application, until it is closed.
template <class Box>
void showModal(QMessageBox::Icon icon, const std::string& title, const std::string& text) {
    Box box(icon, QString::fromStdString(title), QString::fromStdString(text), QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

}  // namespace

void GuiBoxes::showError(const std::string& title, const std::string& text) {
    showModal<QMessageBox>(QMessageBox::Critical, title, text);
}

void GuiBoxes::showMessage(const std::string& title, const std::string& text) {
    showModal<CentredMessageBox>(QMessageBox::NoIcon, title, text);
}

}  // namespace dormex::gui
