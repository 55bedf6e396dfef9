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

}  // namespace

void GuiBoxes::showError(const std::string& title, const std::string& text) {
    QMessageBox box(QMessageBox::Critical, QString::fromStdString(title),
                    QString::fromStdString(text), QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

void GuiBoxes::showMessage(const std::string& title, const std::string& text) {
    CentredMessageBox box(QMessageBox::NoIcon, QString::fromStdString(title),
                          QString::fromStdString(text), QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

}  // namespace dormex::gui
