// QLabel keeps the text (and its accessibility); painting is ours, because a
// label drops the width of trailing blanks when it centres a line.
#include "display_line.hpp"

#include <QPainter>
#include <algorithm>
#include <string>

#include "display_text.hpp"

namespace delpad {

DisplayLine::DisplayLine(QWidget* parent) : QLabel(parent) {
    // Never markup: the text comes from the network.
    setTextFormat(Qt::PlainText);
    setTextInteractionFlags(Qt::NoTextInteraction);
}

void DisplayLine::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Window));
    painter.setPen(palette().color(QPalette::WindowText));
    painter.setFont(font());
    const QFontMetrics metrics(font());
    const int cell = std::max(1, metrics.horizontalAdvance(QLatin1Char('M')));
    const auto columns = static_cast<std::size_t>(std::max(1, width() / cell));
    const QString caption = text();
    const std::u16string text(reinterpret_cast<const char16_t*>(caption.utf16()),
                              static_cast<std::size_t>(caption.size()));
    int baseline = metrics.ascent();
    for (const auto& line : display_lines(text, columns)) {
        const int left = centred_left(line.size(), cell, width());
        for (std::size_t i = 0; i < line.size(); ++i)
            painter.drawText(left + static_cast<int>(i) * cell, baseline, QChar(line[i]));
        baseline += metrics.lineSpacing();
        if (baseline - metrics.ascent() >= height()) break;
    }
}

}  // namespace delpad
