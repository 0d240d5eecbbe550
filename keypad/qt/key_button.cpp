// The button face comes from the style (and its style sheet); the caption is
// drawn here so that it can wrap, beside the icon when there is one.
#include "key_button.hpp"

#include <QStyleOptionButton>
#include <QStylePainter>

namespace delpad {
namespace {

// Blanks at the end of a caption take no room on a key, so a digit whose
// caption ends in blanks still sits in the middle.
QString caption_to_draw(QString caption) {
    while (caption.endsWith(u' ')) caption.chop(1);
    return caption;
}

}  // namespace

void KeyButton::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    option.text.clear();
    option.icon = QIcon();
    painter.drawControl(QStyle::CE_PushButtonBevel, option);

    QRect area = rect().adjusted(3, 3, -3, -3);
    if (isDown()) area.translate(1, 1);
    // The picture sits on the left, so that a two-line caption still fits.
    if (!icon().isNull()) {
        const QSize size = iconSize();
        const QRect place(area.left() + 1, area.center().y() - size.height() / 2, size.width(),
                          size.height());
        icon().paint(&painter, place);
        area.setLeft(place.right() + 1);
    }
    painter.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
    painter.drawText(area, Qt::AlignCenter | Qt::TextWordWrap, caption_to_draw(text()));

    // The key that Space would press: a black frame with a white one inside,
    // seen on light and dark faces alike.
    if (hasFocus()) {
        const QRect frame = rect().adjusted(3, 3, -4, -4);
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(Qt::black, 2));
        painter.drawRect(frame);
        painter.setPen(QPen(Qt::white, 1));
        painter.drawRect(frame.adjusted(2, 2, -2, -2));
    }
}

}  // namespace delpad
