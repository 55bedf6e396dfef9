// Program entry on Linux: the Qt shell over the shared start-up sequence.
#include "gui/QtShell.h"

int main(int argc, char** argv) {
    dormex::gui::QtShell shell(argc, argv);
    return dormex::gui::RunQtProgram(argc, argv, shell);
}
