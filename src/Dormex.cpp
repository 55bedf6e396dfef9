// Program entry: chooses between the windowed start and the start without a window system,
// sets the program up and runs it. Errors that escape everything end here.
#include <QApplication>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "Preview.h"
#include "SqlSiteLibrary.h"
#include "gui/Form1Window.h"
#include "gui/GuiBoxes.h"
#include "gui/WindowSystem.h"
#include "platform/Platform.h"
#include "uDormex.h"

namespace {

// Qt's own debug and warning chatter (driver notes, missing runtime directories) is not the
// program's to report: standard error carries only the program's messages and Qt's real errors.
void qtMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtCriticalMsg || type == QtFatalMsg) {
        std::fprintf(stderr, "dormex: %s\n", message.toLocal8Bit().constData());
    }
}

int runWithWindowSystem(int argc, char** argv, const std::string& modeArg) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(dormex::platform::kApplicationTitle);
    dormex::gui::GuiBoxes boxes;
    dormex::platform::setBoxes(&boxes);

    dormex::TForm1 form(dormex::sitelib::CreateTopLevelObject, modeArg);
    const bool setupOk = dormex::RunFormCreate(form);
    int status = 0;
    {
        dormex::gui::Form1Window Form1(form);
        Form1.show();
        QApplication::exec();
        status = dormex::ExitStatus(form, !setupOk);
    }
    dormex::platform::setBoxes(nullptr);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    qInstallMessageHandler(qtMessages);
    const std::string modeArg = argc > 1 ? argv[1] : "";
    try {
        if (dormex::IsPreviewArgument(modeArg)) {
            return dormex::RunPreview(dormex::sitelib::CreateTopLevelObject, stdout, stderr);
        }
        const char* platform = dormex::gui::ProbedPlatform();
        if (!platform) {
            return dormex::RunWithoutWindowSystem(modeArg, dormex::sitelib::CreateTopLevelObject);
        }
        if (*platform) setenv("QT_QPA_PLATFORM", platform, 1);
        return runWithWindowSystem(argc, argv, modeArg);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "dormex: %s\n", e.what());
        return 2;
    }
}
