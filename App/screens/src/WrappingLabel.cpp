#include "WrappingLabel.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QStyle>
#include <QTextLayout>
#include <QTextOption>
#include <QtMath>



namespace keldra::screens {

namespace {

// The width of a line that is never broken.
constexpr qreal kUnbounded = 1e6;

}  // namespace

WrappingLabel::WrappingLabel(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    setWordWrap(true);  // asks the layouts for a height for each width
}

int WrappingLabel::horizontalMargins() const {
    const QMargins m = contentsMargins();
    return m.left() + m.right() + 2 * margin();
}

int WrappingLabel::verticalMargins() const {
    const QMargins m = contentsMargins();
    return m.top() + m.bottom() + 2 * margin();
}

qreal WrappingLabel::layOut(QTextLayout& layout, qreal width) const {
    QString shown = text();
    shown.replace(QLatin1Char('\n'), QChar::LineSeparator);
    layout.setText(shown);
    layout.setFont(font());
    QTextOption option(QStyle::visualAlignment(layoutDirection(), alignment()) & Qt::AlignHorizontal_Mask);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    // Lines follow each other as a plain label's do: the font's leading
    // between them.
    const qreal leading = QFontMetricsF(font()).leading();
    qreal height = -leading;
    layout.beginLayout();
    for (;;) {
        QTextLine line = layout.createLine();
        if (!line.isValid()) break;
        line.setLineWidth(qMax<qreal>(width, 1));
        height += leading;
        line.setPosition(QPointF(0, height));
        height += line.height();
    }
    layout.endLayout();
    return qMax<qreal>(height, 0);
}

int WrappingLabel::heightForWidth(int width) const {
    QTextLayout layout;
    return qCeil(layOut(layout, width - horizontalMargins())) + verticalMargins();
}

QSize WrappingLabel::sizeHint() const {
    QTextLayout layout;
    layOut(layout, kUnbounded);
    const int natural = qCeil(layout.boundingRect().width()) + horizontalMargins();
    // A long text asks for no more than a panel's width; the layout gives
    // the width and takes the height for it.
    const int width = qMin(natural, qCeil(QFontMetricsF(font()).averageCharWidth() * 40) + horizontalMargins());
    return {width, heightForWidth(width)};
}

QSize WrappingLabel::minimumSizeHint() const {
    // Any width that holds one character holds the text, a character or
    // more a line.
    const QFontMetricsF metrics(font());
    return {qCeil(metrics.maxWidth()) + horizontalMargins(), qCeil(metrics.height()) + verticalMargins()};
}

void WrappingLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect room = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    QTextLayout layout;
    const qreal height = layOut(layout, room.width());
    qreal top = room.top();
    if (alignment() & Qt::AlignVCenter) top += qMax<qreal>(0, (room.height() - height) / 2);
    if (alignment() & Qt::AlignBottom) top += qMax<qreal>(0, room.height() - height);
    painter.setPen(palette().color(foregroundRole()));
    layout.draw(&painter, QPointF(room.left(), top));
}

}  // namespace keldra::screens
