#include "gui/QtShell.h"

#include <QApplication>
#include <QString>
#include <QtGlobal>
#include <clocale>
#include <cstdio>
#include <cstdlib>

#include "SqlSiteLibrary.h"
#include "gui/Form1Window.h"
#include "gui/GuiBoxes.h"
#include "gui/WindowSystem.h"
#include "platform/Platform.h"

namespace dormex::gui {
namespace {

// Qt's own debug and warning chatter (driver notes, missing runtime directories) is not the
// program's to report: standard error carries only the program's messages and Qt's real errors.
void qtMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtCriticalMsg || type == QtFatalMsg) {
        std::fprintf(stderr, "dormex: %s\n", message.toLocal8Bit().constData());
    }
}

}  // namespace

QtShell::QtShell(int& argc, char** argv) : m_argc(argc), m_argv(argv) {}

QtShell::~QtShell() = default;

site::CreateFunction QtShell::siteLibrary(bool readOnly) {
    return [readOnly] { return sitelib::CreateTopLevelObject(readOnly); };
}

const char* QtShell::probedPlatform() {
    if (!m_probed) m_platform = ProbedPlatform();
    m_probed = true;
    return m_platform;
}

std::string QtShell::windowSystemProblem(StartMode mode) {
    return WindowSystemProblem(
        MissingWindowSystem(probedPlatform(), mode == StartMode::Unattended));
}

platform::Boxes* QtShell::startApplication(bool windowSystem) {
    if (m_app) return m_boxes.get();
    if (!windowSystem) {
        m_app = std::make_unique<QCoreApplication>(m_argc, m_argv);
        return nullptr;
    }
    // Qt starts only on the platform the probe found answering, never on one that is not there.
    const char* platform = probedPlatform();
    if (platform && *platform) setenv("QT_QPA_PLATFORM", platform, 1);
    m_app = std::make_unique<QApplication>(m_argc, m_argv);
    QCoreApplication::setApplicationName(platform::kApplicationTitle);
    m_boxes = std::make_unique<GuiBoxes>();
    return m_boxes.get();
}

void QtShell::runWindow(TForm1& form) {
    Form1Window Form1(form);
    Form1.show();
    QApplication::exec();
}

int RunQtProgram(int argc, char** argv, QtShell& shell) {
    std::setlocale(LC_ALL, "");
    qInstallMessageHandler(qtMessages);
    const std::string firstArgument = argc > 1 ? argv[1] : "";
    return RunProgram(ParseStartMode(firstArgument), shell, stdout, stderr);
}

}  // namespace dormex::gui
