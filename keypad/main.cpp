// DELPAD: the register's keyboard on screen. Its settings files sit beside
// the program.
#include <QApplication>

#include "keypad_window.hpp"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    delpad::KeypadWindow window(QCoreApplication::applicationDirPath());
    window.start();
    window.show();
    return app.exec();
}
