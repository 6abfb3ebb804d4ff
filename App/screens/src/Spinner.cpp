#include "Spinner.h"

#include <QPainter>
#include <QPen>
#include <QStyle>

namespace keldra::screens {

namespace {
constexpr int kSpokes = 12;
constexpr int kStepMilliseconds = 80;
}  // namespace

Spinner::Spinner(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    timer_.setInterval(kStepMilliseconds);
    connect(&timer_, &QTimer::timeout, this, [this] {
        phase_ = (phase_ + 1) % kSpokes;
        update();
    });
}

QSize Spinner::sizeHint() const {
    // The small control size: the style's small icon.
    const int side = style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, this);
    return {side, side};
}

void Spinner::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal side = std::min(width(), height());
    p.translate(width() / 2.0, height() / 2.0);
    const qreal outer = side / 2.0 - 1.0;
    const qreal inner = outer * 0.45;
    QColor colour = palette().color(QPalette::WindowText);
    for (int i = 0; i < kSpokes; ++i) {
        // The spoke at `phase_` is the brightest; the ones behind it fade.
        const int behind = (phase_ - i + kSpokes) % kSpokes;
        colour.setAlphaF(1.0 - 0.75 * behind / (kSpokes - 1));
        QPen pen(colour, std::max(1.5, side / 9.0));
        pen.setCapStyle(Qt::RoundCap);
        p.setPen(pen);
        p.save();
        p.rotate(360.0 * i / kSpokes);
        p.drawLine(QPointF(0, -inner), QPointF(0, -outer));
        p.restore();
    }
}

void Spinner::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    timer_.start();
}

void Spinner::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    timer_.stop();
}

}  // namespace keldra::screens
