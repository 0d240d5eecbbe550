// A flat-coloured push button whose caption wraps onto several lines, as the
// register's keys show a digit on one line and its letters on the next.
#pragma once

#include <QPushButton>

namespace delpad {

class KeyButton : public QPushButton {
    Q_OBJECT
public:
    using QPushButton::QPushButton;

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace delpad
