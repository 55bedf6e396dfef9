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

#include "platform/Error.h"

namespace dormex::gui {
namespace {

// The frame the layout's outer size includes: borders and caption bar, at 96 dots per inch.
constexpr int kFrameWidth = 8;
constexpr int kFrameHeight = 34;

// The platform's default sans-serif face at the window's point size.
QFont windowFont() {
    QFont font(QStringLiteral("Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(kForm1Layout.font.pointSize);
    return font;
}

// Gives every item the list's fixed row height, whatever the font and check box ask for.
class FixedRowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        return {QStyledItemDelegate::sizeHint(option, index).width(), kForm1Layout.itemHeight};
    }
};

Qt::CheckState toCheckState(bool checked) {
    return checked ? Qt::Checked : Qt::Unchecked;
}

// Narrows the label's font just enough for its text to fit its fixed width: the default sans-serif
// font here runs wider than the fonts the layout was drawn with.
void fitTextWidth(QLabel* label) {
    QFont font = label->font();
    for (int stretch = 100; stretch >= 75; stretch -= 5) {
        font.setStretch(stretch);
        if (QFontMetrics(font).horizontalAdvance(label->text()) <= label->width()) break;
    }
    label->setFont(font);
}

// A static text in `parent`, wrapping onto more lines or narrowed to fit as `layout` says.
QLabel* makeLabel(QWidget* parent, const ControlLayout& layout) {
    auto* label = new QLabel(QString::fromUtf8(layout.text), parent);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setWordWrap(layout.wraps);
    return label;
}

// The list of person types in `parent`: one check box item per entry of `types`, in its order,
// with the focus mark on the first item and nothing selected, so that Space flips that item.
QListWidget* makeCheckList(QWidget* parent, const TPersonTypeList& types) {
    auto* list = new QListWidget(parent);
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

QPushButton* makeButton(QWidget* parent, const ControlLayout& layout) {
    auto* button = new QPushButton(QString::fromUtf8(layout.text), parent);
    button->setAutoDefault(false);
    button->setFocusPolicy(Qt::StrongFocus);
    return button;
}

}  // namespace

Form1Window::Form1Window(TForm1& form, QWidget* parent) : QWidget(parent), m_form(form) {
    setObjectName(QString::fromUtf8(kForm1Layout.name));
    setWindowTitle(QString::fromUtf8(kForm1Layout.caption));
    setFont(windowFont());
    QPalette pal = palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Button));
    setPalette(pal);
    setAutoFillBackground(true);
    setFixedSize(kForm1Layout.outer.width - kFrameWidth, kForm1Layout.outer.height - kFrameHeight);
    move(kForm1Layout.outer.left, kForm1Layout.outer.top);
    createControls();

    m_checkListBox1 = control<QListWidget>(Form1Control::kCheckListBox1);
    auto* txtDays = control<QLineEdit>(Form1Control::kTxtDays);
    connect(m_checkListBox1, &QListWidget::itemChanged, this,
            [this](QListWidgetItem* item) { itemChanged(item); });
    connect(txtDays, &QLineEdit::textChanged, this,
            [this](const QString& text) { m_form.txtDays = text.toStdString(); });
    connect(control<QPushButton>(Form1Control::kBtnCheckAll), &QPushButton::clicked, this,
            [this] { btnCheckAllClick(); });
    connect(control<QPushButton>(Form1Control::kBtnSave), &QPushButton::clicked, this,
            [this] { btnSaveClick(); });
}

QWidget* Form1Window::createControl(const ControlLayout& layout) {
    switch (layout.kind) {
        case ControlKind::StaticText:
            return makeLabel(this, layout);
        case ControlKind::CheckList:
            return makeCheckList(this, m_form.CheckListBox1);
        case ControlKind::PushButton:
            return makeButton(this, layout);
        case ControlKind::TextBox:
            return new QLineEdit(QString::fromStdString(m_form.txtDays), this);
    }
    throw Error("Unknown control kind");
}

void Form1Window::createControls() {
    for (size_t i = 0; i < m_controls.size(); ++i) {
        const ControlLayout& layout = kForm1Layout.controls[i];
        QWidget* widget = createControl(layout);
        widget->setObjectName(QString::fromUtf8(layout.name));
        widget->setGeometry(layout.place.left, layout.place.top, layout.place.width,
                            layout.place.height);
        if (layout.kind == ControlKind::StaticText && !layout.wraps)
            fitTextWidth(static_cast<QLabel*>(widget));
        // Later siblings are drawn over earlier ones; raised, a control is in front of them all.
        if (layout.inFront) widget->raise();
        m_controls[i] = widget;
    }
    const std::vector<Form1Control> stops = kForm1Layout.tabStops();
    for (size_t i = 0; i + 1 < stops.size(); ++i)
        setTabOrder(m_controls[static_cast<size_t>(stops[i])],
                    m_controls[static_cast<size_t>(stops[i + 1])]);
    if (!stops.empty()) m_controls[static_cast<size_t>(stops.front())]->setFocus();
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
