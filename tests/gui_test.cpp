// The main window over TForm1, the GUI boxes and the window-system probe, on Qt's offscreen
// platform. Boxes go through a recording seam, so nothing ever blocks.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "Settings.h"
#include "TestSupport.h"
#include "gui/Form1Window.h"
#include "gui/GuiBoxes.h"
#include "gui/WindowSystem.h"
#include "platform/Error.h"
#include "platform/Platform.h"
#include "uDormex.h"

namespace dormex::gui {
namespace {

namespace fs = std::filesystem;

using test::lower;
using test::readFile;
using test::RecordingBoxes;

// One key=value line of a settings file, as written (a trailing CR removed).
struct IniEntry {
    std::string section;
    std::string key;
    std::string value;
};

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string stripCr(std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

std::vector<IniEntry> iniEntries(const std::string& path) {
    std::vector<IniEntry> entries;
    std::string section;
    for (const std::string& raw : splitLines(readFile(path))) {
        std::string line = stripCr(raw);
        if (!line.empty() && line[0] == '[') {
            section = line.substr(1, line.find(']') - 1);
            continue;
        }
        size_t eq = line.find('=');
        if (line.empty() || line[0] == ';' || eq == std::string::npos) continue;
        entries.push_back({section, line.substr(0, eq), line.substr(eq + 1)});
    }
    return entries;
}

// The one stored Days value; absent when none or several were written.
std::optional<std::string> storedDays(const std::string& path) {
    std::optional<std::string> found;
    int count = 0;
    for (const IniEntry& e : iniEntries(path))
        if (lower(e.key) == "days") {
            found = e.value;
            ++count;
        }
    return count == 1 ? found : std::nullopt;
}

// The typeN values in N order, whatever N the first entry starts at.
std::vector<std::string> storedTypes(const std::string& path) {
    std::map<int, std::string> byNumber;
    for (const IniEntry& e : iniEntries(path)) {
        std::string key = lower(e.key);
        if (key.size() > 4 && key.compare(0, 4, "type") == 0 &&
            key.find_first_not_of("0123456789", 4) == std::string::npos)
            byNumber[std::stoi(key.substr(4))] = e.value;
    }
    std::vector<std::string> values;
    for (const auto& [number, value] : byNumber) values.push_back(value);
    return values;
}

std::shared_ptr<site::TopLevelObject> noSite() {
    throw Error("no site library");
}

template <class T>
T* control(QWidget& window, const char* name) {
    T* widget = window.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
}

class GuiTest : public ::testing::Test {
protected:
    void SetUp() override { useProgramDirectory("main"); }

    void TearDown() override {
        m_window.reset();
        platform::setServices({});
    }

    // Points the executable path into a fresh directory, where the settings file will land.
    void useProgramDirectory(const std::string& name) {
        fs::path dir = fs::path(m_root.path()) / name;
        fs::create_directories(dir);
        platform::Services services;
        services.executablePath = (dir / "dormex").string();
        services.boxes = &m_boxes;
        platform::setServices(std::move(services));
        m_settingsPath = (dir / "Dormex.ini").string();
    }

    // The window over the form, its selections read from the settings file as a whole set-up
    // reads them, unless the set-up is to have stopped before (`readSelections` false).
    Form1Window& showWindow(bool readSelections = true) {
        if (readSelections) Settings().readSelections(m_form.CheckListBox1);
        m_window = std::make_unique<Form1Window>(m_form);
        m_window->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(m_window.get()));
        QApplication::setActiveWindow(m_window.get());
        return *m_window;
    }

    QListWidget* list() { return control<QListWidget>(*m_window, "CheckListBox1"); }
    QLineEdit* days() { return control<QLineEdit>(*m_window, "txtDays"); }

    void click(const char* buttonName) {
        QTest::mouseClick(control<QPushButton>(*m_window, buttonName), Qt::LeftButton);
    }

    // Clicks the centre of item `row`'s check box, located by the style as the view draws it.
    void clickCheckBox(int row) {
        QListWidget* view = list();
        QStyleOptionViewItem option;
        option.initFrom(view->viewport());
        option.rect = view->visualItemRect(view->item(row));
        option.features =
            QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay;
        option.text = view->item(row)->text();
        option.font = view->font();
        QRect box =
            view->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, view);
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, box.center());
    }

    void typeDays(const std::string& text) {
        QLineEdit* edit = days();
        edit->setFocus();
        edit->selectAll();
        if (text.empty())
            QTest::keyClick(edit, Qt::Key_Backspace);
        else
            QTest::keyClicks(edit, QString::fromStdString(text));
    }

    std::vector<bool> formChecks() const {
        std::vector<bool> checks;
        for (int i = 0; i < m_form.CheckListBox1.Count(); ++i)
            checks.push_back(m_form.CheckListBox1.Checked(i));
        return checks;
    }

    std::vector<bool> viewChecks() {
        std::vector<bool> checks;
        for (int i = 0; i < list()->count(); ++i) {
            Qt::CheckState state = list()->item(i)->checkState();
            EXPECT_NE(state, Qt::PartiallyChecked) << "row " << i;
            checks.push_back(state == Qt::Checked);
        }
        return checks;
    }

    test::TempDir m_root;
    std::string m_settingsPath;
    RecordingBoxes m_boxes;
    LogReport m_report{false, stderr};
    TForm1 m_form{noSite, StartMode::Window, m_report, m_boxes};
    std::unique_ptr<Form1Window> m_window;
};

TEST_F(GuiTest, WindowIsFixedSizeAtItsPosition) {
    Form1Window& window = showWindow();
    EXPECT_EQ(window.objectName(), "Form1");
    EXPECT_EQ(window.windowTitle(), "Dormex");
    EXPECT_EQ(window.size(), QSize(210, 251));
    EXPECT_EQ(window.minimumSize(), QSize(210, 251));
    EXPECT_EQ(window.maximumSize(), QSize(210, 251));
    EXPECT_EQ(window.pos(), QPoint(192, 114));
    EXPECT_EQ(window.font().pointSize(), 8);
    EXPECT_EQ(window.palette().color(QPalette::Window), window.palette().color(QPalette::Button));
    EXPECT_TRUE(window.autoFillBackground());
}

TEST_F(GuiTest, ControlsSitWhereTheLayoutPutsThem) {
    struct Expected {
        const char* name;
        const char* className;
        QRect geometry;
        const char* text;  // nullptr: not a text control
    };
    const Expected table[] = {
        {"Label1", "QLabel", {8, 8, 193, 13}, " Select the Employee Types to Expire:"},
        {"CheckListBox1", "QListWidget", {8, 24, 193, 153}, nullptr},
        {"btnCheckAll", "QPushButton", {124, 26, 75, 25}, "Check All"},
        {"Label2", "QLabel", {8, 184, 138, 26}, "Number of days to allow with no activity"},
        {"txtDays", "QLineEdit", {160, 184, 41, 21}, "30"},
        {"btnSave", "QPushButton", {112, 219, 91, 25}, "Save Settings"},
    };
    Form1Window& window = showWindow();
    for (const Expected& e : table) {
        SCOPED_TRACE(e.name);
        QWidget* widget = control<QWidget>(window, e.name);
        ASSERT_NE(widget, nullptr);
        EXPECT_STREQ(widget->metaObject()->className(), e.className);
        EXPECT_EQ(widget->parentWidget(), &window);
        EXPECT_EQ(widget->geometry(), e.geometry);
        EXPECT_TRUE(widget->isVisible());
        if (!e.text) continue;
        EXPECT_EQ(widget->property("text").toString().toStdString(), e.text);
    }
}

TEST_F(GuiTest, CheckAllButtonIsInFrontOfTheListCorner) {
    Form1Window& window = showWindow();
    // A point inside both the list and the button belongs to the button.
    EXPECT_EQ(window.childAt(190, 30), control<QPushButton>(window, "btnCheckAll"));
    EXPECT_EQ(window.childAt(20, 30)->parentWidget(), list());
}

TEST_F(GuiTest, DaysLabelWrapsToTwoLines) {
    Form1Window& window = showWindow();
    auto* label = control<QLabel>(window, "Label2");
    ASSERT_TRUE(label->wordWrap());
    QFontMetrics metrics(label->font());
    QRect wrapped =
        metrics.boundingRect(QRect(0, 0, label->width(), 1000), Qt::TextWordWrap, label->text());
    EXPECT_EQ((wrapped.height() + metrics.lineSpacing() / 2) / metrics.lineSpacing(), 2);
}

TEST_F(GuiTest, ListShowsEveryEntryAsATwoStateCheckBox) {
    m_form.CheckListBox1.SetChecked(3, true);
    m_form.CheckListBox1.SetName(6, "Night Porter");
    showWindow();
    ASSERT_EQ(list()->count(), m_form.CheckListBox1.Count());
    ASSERT_EQ(list()->count(), 11);
    for (int i = 0; i < list()->count(); ++i) {
        SCOPED_TRACE(i);
        QListWidgetItem* item = list()->item(i);
        EXPECT_EQ(item->text().toStdString(), m_form.CheckListBox1.Name(i));
        EXPECT_TRUE(item->flags() & Qt::ItemIsUserCheckable);
        EXPECT_FALSE(item->flags() & (Qt::ItemIsUserTristate | Qt::ItemIsAutoTristate));
        EXPECT_EQ(list()->visualItemRect(item).height(), 13);
    }
    EXPECT_EQ(list()->item(6)->text(), "Night Porter");
    EXPECT_EQ(viewChecks(), formChecks());
}

TEST_F(GuiTest, TabVisitsListSaveDaysCheckAllInTurn) {
    Form1Window& window = showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    const char* const order[] = {"CheckListBox1", "btnSave", "txtDays", "btnCheckAll",
                                 "CheckListBox1"};
    control<QWidget>(window, order[0])->setFocus();
    for (const char* expected : order) {
        SCOPED_TRACE(expected);
        ASSERT_NE(QApplication::focusWidget(), nullptr);
        EXPECT_EQ(QApplication::focusWidget()->objectName().toStdString(), expected);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    for (const char* label : {"Label1", "Label2"})
        EXPECT_EQ(control<QWidget>(window, label)->focusPolicy(), Qt::NoFocus) << label;
}

TEST_F(GuiTest, ClickingACheckBoxTogglesTheEntry) {
    showWindow();
    for (int row : {0, 5, 10}) {
        SCOPED_TRACE(row);
        clickCheckBox(row);
        EXPECT_TRUE(m_form.CheckListBox1.Checked(row));
        clickCheckBox(row);
        EXPECT_FALSE(m_form.CheckListBox1.Checked(row));
    }
    clickCheckBox(2);
    std::vector<bool> expected(11, false);
    expected[2] = true;
    EXPECT_EQ(formChecks(), expected);
    EXPECT_EQ(viewChecks(), expected);
}

TEST_F(GuiTest, ClickingAnEntrysTextDoesNotToggleIt) {
    showWindow();
    QRect row = list()->visualItemRect(list()->item(4));
    QTest::mouseClick(list()->viewport(), Qt::LeftButton, {},
                      QPoint(row.right() - 10, row.center().y()));
    EXPECT_EQ(list()->currentRow(), 4);
    EXPECT_EQ(formChecks(), std::vector<bool>(11, false));
}

TEST_F(GuiTest, SpaceTogglesTheFocusedEntry) {
    Form1Window& window = showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    list()->setFocus();
    // The focus mark starts on the first entry.
    QTest::keyClick(list(), Qt::Key_Space);
    EXPECT_TRUE(m_form.CheckListBox1.Checked(0));
    for (int row : {7, 1}) {
        SCOPED_TRACE(row);
        list()->setCurrentRow(row);
        for (bool expected : {true, false, true}) {
            QTest::keyClick(list(), Qt::Key_Space);
            EXPECT_EQ(m_form.CheckListBox1.Checked(row), expected);
            EXPECT_EQ(list()->item(row)->checkState(), expected ? Qt::Checked : Qt::Unchecked);
        }
    }
    std::vector<bool> expected(11, false);
    expected[0] = expected[1] = expected[7] = true;
    EXPECT_EQ(formChecks(), expected);
}

TEST_F(GuiTest, CheckAllChecksEveryEntryInFormAndView) {
    m_form.CheckListBox1.SetChecked(9, true);
    showWindow();
    clickCheckBox(4);
    click("btnCheckAll");
    EXPECT_EQ(formChecks(), std::vector<bool>(11, true));
    EXPECT_EQ(viewChecks(), std::vector<bool>(11, true));
    // A later toggle still reaches the form.
    clickCheckBox(4);
    EXPECT_FALSE(m_form.CheckListBox1.Checked(4));
    EXPECT_TRUE(m_boxes.boxes.empty());
}

TEST_F(GuiTest, SaveStoresDaysOnlyWhenTheyPassTheIntegerTest) {
    struct Case {
        const char* typed;
        const char* stored;
    };
    const Case table[] = {
        {"-5", "-5"},  {"0", "0"},     {"", "30"},       {"1e3", "30"}, {"45 ", "30"},
        {"12a", "30"}, {"$1F", "$1F"}, {"0x1F", "0x1F"}, {"90", "90"},
    };
    showWindow();
    int n = 0;
    for (const Case& c : table) {
        SCOPED_TRACE(std::string("typed \"") + c.typed + "\"");
        useProgramDirectory("case" + std::to_string(n++));
        typeDays(c.typed);
        EXPECT_EQ(m_form.txtDays, c.typed);
        click("btnSave");
        EXPECT_EQ(storedDays(m_settingsPath), std::optional<std::string>(c.stored));
        // The box and the form keep what was typed.
        EXPECT_EQ(days()->text().toStdString(), c.typed);
        EXPECT_EQ(m_form.txtDays, c.typed);
    }
    EXPECT_TRUE(m_boxes.boxes.empty());
}

TEST_F(GuiTest, SaveStoresEveryCheckStateButNoName) {
    m_form.CheckListBox1.SetName(6, "Night Porter");
    showWindow();
    for (int row : {1, 6, 10}) clickCheckBox(row);
    click("btnSave");
    std::vector<std::string> expected;
    for (bool checked : formChecks()) expected.push_back(checked ? "True" : "False");
    EXPECT_EQ(std::count(expected.begin(), expected.end(), "True"), 3);
    EXPECT_EQ(storedTypes(m_settingsPath), expected);
    EXPECT_EQ(readFile(m_settingsPath).find("Night Porter"), std::string::npos);
    EXPECT_EQ(list()->item(6)->text(), "Night Porter");
}

// A set-up that stopped at the site library read no selection: Save writes Days and the entry
// ticked since, and leaves every other type key as the file has it.
TEST_F(GuiTest, SaveAfterASetupThatStoppedEarlyKeepsTheTypesItNeverRead) {
    test::writeFile(m_settingsPath, "[General]\r\nDays=45\r\ntype0=True\r\ntype3=yes\r\n");
    EXPECT_FALSE(RunFormCreate(m_form, m_report));
    m_boxes.boxes.clear();
    showWindow(false);
    clickCheckBox(5);
    click("btnSave");
    EXPECT_EQ(readFile(m_settingsPath),
              "[General]\r\nDays=45\r\ntype0=True\r\ntype3=yes\r\ntype5=True\r\n");
    EXPECT_TRUE(m_boxes.boxes.empty());
}

TEST_F(GuiTest, UnwritableSettingsFileGivesOneMessagePerWrite) {
    ASSERT_TRUE(fs::create_directory(m_settingsPath));
    Form1Window& window = showWindow();
    click("btnSave");
    ASSERT_EQ(m_boxes.boxes.size(), 12u);
    for (const RecordingBoxes::Box& box : m_boxes.boxes) {
        EXPECT_FALSE(box.error);
        EXPECT_EQ(box.title, "Dormex");
        EXPECT_EQ(box.text, "Unable to write to " + m_settingsPath);
    }
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(fs::is_directory(m_settingsPath));
}

TEST_F(GuiTest, SaveKeepsForeignSectionsAndComments) {
    const std::string original =
        "; kept comment\r\n"
        "[Printer Zq]\r\n"
        "Port = lpt9\r\n"
        "; another note\r\n"
        "\r\n"
        "[Colours Zq]\r\n"
        "days=unrelated\r\n";
    { std::ofstream(m_settingsPath, std::ios::binary) << original; }
    showWindow();
    click("btnSave");
    std::vector<std::string> before = splitLines(original);
    std::vector<std::string> after = splitLines(readFile(m_settingsPath));
    // Every original line is still there, byte for byte, in its order.
    auto at = after.begin();
    for (const std::string& line : before) {
        at = std::find(at, after.end(), line);
        ASSERT_NE(at, after.end()) << "lost line: " << stripCr(line);
        ++at;
    }
    EXPECT_GT(after.size(), before.size() + 11);
    EXPECT_TRUE(m_boxes.boxes.empty());
}

TEST_F(GuiTest, QuitsOnShowOnlyWhenTheFormSaysSo) {
    for (bool quit : {true, false}) {
        SCOPED_TRACE(quit);
        m_form.quitOnShow = quit;
        QTimer fallback;
        fallback.setSingleShot(true);
        QObject::connect(&fallback, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        fallback.start(quit ? 5000 : 300);
        // Shown without waiting for exposure: the quit request must be left for the loop below.
        m_window = std::make_unique<Form1Window>(m_form);
        m_window->show();
        EXPECT_EQ(QApplication::exec(), quit ? 0 : 99);
        m_window.reset();
    }
}

// What a modal box looked like while it was up.
struct SeenBox {
    bool seen = false;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title;
    QString text;
    int buttonCount = 0;
    bool okButton = false;
    bool modal = false;
    QPoint centre;
};

// Runs `show` and, once its modal box is up, records it and presses OK.
SeenBox inspectModalBox(const std::function<void()>& show) {
    SeenBox seen;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible()) return;
        seen.seen = true;
        seen.icon = box->icon();
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.buttonCount = static_cast<int>(box->buttons().size());
        seen.okButton = box->button(QMessageBox::Ok) != nullptr;
        seen.modal = box->isModal();
        seen.centre = box->frameGeometry().center();
        poll.stop();
        box->done(QMessageBox::Ok);
    });
    poll.start(20);
    show();
    return seen;
}

// The box was up, modal, with `icon`, the title Dormex, `text` and one OK button.
void expectModalOkBox(const SeenBox& seen, QMessageBox::Icon icon, const char* text) {
    ASSERT_TRUE(seen.seen);
    EXPECT_EQ(seen.icon, icon);
    EXPECT_EQ(seen.title, "Dormex");
    EXPECT_EQ(seen.text, text);
    EXPECT_EQ(seen.buttonCount, 1);
    EXPECT_TRUE(seen.okButton);
    EXPECT_TRUE(seen.modal);
}

TEST(GuiBoxesTest, ErrorBoxHasCriticalIconAndOneOkButton) {
    GuiBoxes boxes;
    SeenBox seen = inspectModalBox([&] { boxes.showError("Dormex", "Query failed."); });
    expectModalOkBox(seen, QMessageBox::Critical, "Query failed.");
}

TEST(GuiBoxesTest, MessageBoxHasNoIconAndIsCentredOnTheScreen) {
    GuiBoxes boxes;
    // An off-centre main window must not pull the box towards itself.
    QWidget other;
    other.setGeometry(0, 0, 120, 80);
    other.show();
    QApplication::setActiveWindow(&other);
    SeenBox seen = inspectModalBox([&] { boxes.showMessage("Dormex", "Unable to write to /x"); });
    expectModalOkBox(seen, QMessageBox::NoIcon, "Unable to write to /x");
    QPoint screenCentre = QGuiApplication::primaryScreen()->availableGeometry().center();
    EXPECT_LE((seen.centre - screenCentre).manhattanLength(), 2);
}

// Sets or clears environment variables for one scope, restoring what was there.
class EnvOverride {
public:
    void set(const char* name, const char* value) {
        if (!m_saved.count(name)) {
            const char* old = std::getenv(name);
            m_saved[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~EnvOverride() {
        for (const auto& [name, value] : m_saved) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
    }

private:
    std::map<std::string, std::optional<std::string>> m_saved;
};

// A platform drawing on no screen serves the window (these tests run on one), never an unattended
// start, whose error box nobody could close.
TEST(WindowSystemTest, AvailableOnlyWithAPlatformOrAnAnsweringServer) {
    struct Case {
        const char* name;
        const char* qpa;
        const char* display;
        const char* wayland;
        bool available;
        bool unattended;  // available to an unattended start
    };
    const Case table[] = {
        {"platform named", "offscreen", nullptr, nullptr, true, false},
        {"screenless with options", "offscreen:fontengine=freetype", nullptr, nullptr, true, false},
        {"screenless first in a list", "minimal;xcb", ":4711", nullptr, true, false},
        {"screen first in a list", "xcb;offscreen", nullptr, nullptr, true, true},
        {"platform named, dead display", "xcb", ":4711", nullptr, true, true},
        {"nothing set", nullptr, nullptr, nullptr, false, false},
        {"empty platform", "", nullptr, nullptr, false, false},
        {"empty display", nullptr, "", nullptr, false, false},
        {"no X server there", nullptr, ":4711", nullptr, false, false},
        {"no compositor there", nullptr, nullptr, "dormex-no-such-socket", false, false},
        {"neither answers", "", ":4711", "dormex-no-such-socket", false, false},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(c.name);
        EnvOverride env;
        env.set("QT_QPA_PLATFORM", c.qpa);
        env.set("DISPLAY", c.display);
        env.set("WAYLAND_DISPLAY", c.wayland);
        const char* probed = ProbedPlatform();
        EXPECT_EQ(probed != nullptr, c.available);
        EXPECT_EQ(MissingWindowSystem(probed, false).empty(), c.available);
        EXPECT_EQ(MissingWindowSystem(probed, true).empty(), c.unattended);
    }
}

}  // namespace
}  // namespace dormex::gui

// Own main: the tests need a QApplication on the offscreen platform before anything else.
int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
