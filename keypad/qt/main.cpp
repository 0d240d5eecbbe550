// DELPAD: the register's keyboard on screen. Its settings files sit beside
// the program.
#include <QApplication>
#include <QScreen>

#include "keypad_window.hpp"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    delpad::KeypadWindow window(QCoreApplication::applicationDirPath());
    window.start();
    window.show();
    // Scaled displays and small screens get a smaller window, same layout.
    if (const QScreen* screen = window.screen()) {
        const QSize frame = window.frameGeometry().size() - window.geometry().size();
        window.fit_to(screen->availableGeometry().size(), frame);
    }
    return app.exec();
}
