#include "gui/Form1Window.h"

#include <QCoreApplication>
#include <QFont>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMetaObject>
#include <QPalette>
#include <QPushButton>
#include <QShowEvent>
#include <QStyledItemDelegate>
#include <algorithm>

#include "platform/Platform.h"

namespace dormex::gui {
namespace {

constexpr int kClientWidth = 210;
constexpr int kClientHeight = 251;
constexpr int kWindowLeft = 192;
constexpr int kWindowTop = 114;
constexpr int kItemHeight = 13;
constexpr int kFontPointSize = 8;

// The platform's default sans-serif face at the window's point size.
QFont windowFont() {
    QFont font(QStringLiteral("Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(kFontPointSize);
    return font;
}

// Gives every item the list's fixed row height, whatever the font and check box ask for.
class FixedRowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        return {QStyledItemDelegate::sizeHint(option, index).width(), kItemHeight};
    }
};

Qt::CheckState toCheckState(bool checked) {
    return checked ? Qt::Checked : Qt::Unchecked;
}

// Names `widget` and puts it at `geometry` in its parent; returns it.
template <class Widget>
Widget* placed(Widget* widget, const char* name, const QRect& geometry) {
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(geometry);
    return widget;
}

// The list of person types in `parent`: one check box item per entry of `types`, in its order,
// with the focus mark on the first item and nothing selected, so that Space flips that item.
QListWidget* makeCheckListBox1(QWidget* parent, const TPersonTypeList& types) {
    auto* list = placed(new QListWidget(parent), "CheckListBox1", {8, 24, 193, 153});
    list->setUniformItemSizes(true);
    list->setItemDelegate(new FixedRowDelegate(list));
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    for (int i = 0; i < types.Count(); ++i) {
        auto* item = new QListWidgetItem(QString::fromStdString(types.Name(i)), list);
        // User-checkable without a tristate flag: a click or Space flips between two states.
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState(toCheckState(types.Checked(i)));
    }
    if (list->count() > 0)
        list->selectionModel()->setCurrentIndex(list->model()->index(0, 0),
                                                QItemSelectionModel::NoUpdate);
    return list;
}

}  // namespace

// Narrows the label's font just enough for its text to fit its fixed width: the default sans-serif
// font here runs wider than the fonts the layout was drawn with.
static void fitTextWidth(QLabel* label) {
    QFont font = label->font();
    for (int stretch = 100; stretch >= 75; stretch -= 5) {
        font.setStretch(stretch);
        if (QFontMetrics(font).horizontalAdvance(label->text()) <= label->width()) break;
    }
    label->setFont(font);
}

Form1Window::Form1Window(TForm1& form, QWidget* parent) : QWidget(parent), m_form(form) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QString::fromUtf8(platform::kApplicationTitle));
    setFont(windowFont());
    QPalette pal = palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Button));
    setPalette(pal);
    setAutoFillBackground(true);
    setFixedSize(kClientWidth, kClientHeight);
    move(kWindowLeft, kWindowTop);

    auto* label1 = placed(new QLabel(QStringLiteral(" Select the Employee Types to Expire:"), this),
                          "Label1", {8, 8, 193, 13});
    label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    fitTextWidth(label1);

    m_checkListBox1 = makeCheckListBox1(this, m_form.CheckListBox1);

    // Created after the list and raised, so it sits in front of the list's upper-right corner.
    auto* btnCheckAll = placed(new QPushButton(QStringLiteral("Check All"), this), "btnCheckAll",
                               {124, 26, 75, 25});
    btnCheckAll->raise();

    auto* label2 =
        placed(new QLabel(QStringLiteral("Number of days to allow with no activity"), this),
               "Label2", {8, 184, 138, 26});
    label2->setWordWrap(true);
    label2->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    auto* txtDays = placed(new QLineEdit(QString::fromStdString(m_form.txtDays), this), "txtDays",
                           {160, 184, 41, 21});
    auto* btnSave = placed(new QPushButton(QStringLiteral("Save Settings"), this), "btnSave",
                           {112, 219, 91, 25});

    for (QPushButton* button : {btnCheckAll, btnSave}) {
        button->setAutoDefault(false);
        button->setFocusPolicy(Qt::StrongFocus);
    }
    setTabOrder(m_checkListBox1, btnSave);
    setTabOrder(btnSave, txtDays);
    setTabOrder(txtDays, btnCheckAll);
    m_checkListBox1->setFocus();

    connect(m_checkListBox1, &QListWidget::itemChanged, this,
            [this](QListWidgetItem* item) { itemChanged(item); });
    connect(txtDays, &QLineEdit::textChanged, this,
            [this](const QString& text) { m_form.txtDays = text.toStdString(); });
    connect(btnCheckAll, &QPushButton::clicked, this, [this] { btnCheckAllClick(); });
    connect(btnSave, &QPushButton::clicked, this, [this] { btnSaveClick(); });
}

void Form1Window::refreshChecks() {
    m_refreshing = true;
    const int count = std::min(m_checkListBox1->count(), m_form.CheckListBox1.Count());
    for (int i = 0; i < count; ++i)
        m_checkListBox1->item(i)->setCheckState(toCheckState(m_form.CheckListBox1.Checked(i)));
    m_refreshing = false;
}

void Form1Window::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (m_form.FormShow())
        QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
}

void Form1Window::btnCheckAllClick() {
    RunGuarded([this] { m_form.btnCheckAllClick(); }, m_form.boxes());
    refreshChecks();
}

void Form1Window::btnSaveClick() {
    RunGuarded([this] { m_form.btnSaveClick(); }, m_form.boxes());
    refreshChecks();
}

void Form1Window::itemChanged(QListWidgetItem* item) {
    if (m_refreshing) return;
    const int row = m_checkListBox1->row(item);
    const bool checked = item->checkState() == Qt::Checked;
    if (!RunGuarded([this, row, checked] { m_form.CheckListBox1.SetChecked(row, checked); },
                    m_form.boxes()))
        refreshChecks();
}

}  // namespace dormex::gui
