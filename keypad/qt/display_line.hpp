// The display line: the register's text as plain text in a fixed-pitch font,
// each line centred with its blanks counted, so padding moves the text.
#pragma once

#include <QLabel>

namespace delpad {

class DisplayLine : public QLabel {
    Q_OBJECT
public:
    explicit DisplayLine(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace delpad
