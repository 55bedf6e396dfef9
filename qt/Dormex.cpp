// Program entry on Linux: the Qt shell over the shared start-up sequence.
#include <QString>
#include <QtGlobal>
#include <clocale>
#include <cstdio>

#include "Startup.h"
#include "gui/QtShell.h"

namespace {

// Qt's own debug and warning chatter (driver notes, missing runtime directories) is not the
// program's to report: standard error carries only the program's messages and Qt's real errors.
void qtMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtCriticalMsg || type == QtFatalMsg) {
        std::fprintf(stderr, "dormex: %s\n", message.toLocal8Bit().constData());
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    qInstallMessageHandler(qtMessages);
    const std::string firstArgument = argc > 1 ? argv[1] : "";
    dormex::gui::QtShell shell(argc, argv);
    return dormex::RunProgram(dormex::ParseStartMode(firstArgument), firstArgument, shell, stdout,
                              stderr);
}
