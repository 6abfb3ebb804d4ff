#include "ShieldSymbols.h"

#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <algorithm>
#include <cmath>

namespace keldra::screens {

namespace {

enum class Mark { none, slash, check, exclamation, cross };

struct Glyph {
    Mark mark = Mark::none;
    bool filled = false;
};

Glyph glyphOf(const QString& name) {
    if (name == QLatin1String("shield.slash")) return {Mark::slash, false};
    if (name == QLatin1String("checkmark.shield.fill")) return {Mark::check, true};
    if (name == QLatin1String("exclamationmark.shield")) return {Mark::exclamation, false};
    if (name == QLatin1String("xmark.shield")) return {Mark::cross, false};
    return {Mark::none, false};
}

// The shield in a unit square: a flat-shouldered top rising to a point in
// the middle, straight sides and a rounded point at the bottom.
QPainterPath shieldPath() {
    QPainterPath p;
    p.moveTo(0.5, 0.07);
    p.cubicTo(0.61, 0.15, 0.74, 0.19, 0.86, 0.20);
    p.lineTo(0.86, 0.47);
    p.cubicTo(0.86, 0.71, 0.70, 0.85, 0.5, 0.94);
    p.cubicTo(0.30, 0.85, 0.14, 0.71, 0.14, 0.47);
    p.lineTo(0.14, 0.20);
    p.cubicTo(0.26, 0.19, 0.39, 0.15, 0.5, 0.07);
    p.closeSubpath();
    return p;
}

QPen roundPen(const QColor& colour, qreal width) {
    QPen pen(colour, width);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    return pen;
}

// Draws one layer of the glyph in unit coordinates. The ink layer has
// `grow` 0; the rim layer grows every stroke and shape by `grow` on each
// side, and is drawn beneath the ink.
void drawLayer(QPainter& p, const Glyph& glyph, const QColor& colour, qreal stroke, qreal grow) {
    const QPainterPath shield = shieldPath();
    const bool rim = grow > 0;

    if (glyph.filled) {
        p.fillPath(shield, colour);
        if (rim) p.strokePath(shield, roundPen(colour, 2 * grow));
    } else if (rim) {
        // The rim also fills the shield, so the marks inside sit on a light
        // ground whatever the tray's colour.
        p.fillPath(shield, colour);
        p.strokePath(shield, roundPen(colour, stroke + 2 * grow));
    } else {
        p.strokePath(shield, roundPen(colour, stroke + 2 * grow));
    }

    switch (glyph.mark) {
        case Mark::none:
            break;
        case Mark::slash: {
            const QLineF line(0.12, 0.08, 0.88, 0.92);
            // Cut a gap through the shield along the slash, then draw it.
            p.save();
            p.setCompositionMode(QPainter::CompositionMode_Clear);
            p.setPen(roundPen(Qt::transparent, std::max(stroke, stroke * 3 - 2 * grow)));
            p.drawLine(line);
            p.restore();
            p.setPen(roundPen(colour, stroke + 2 * grow));
            p.drawLine(line);
            break;
        }
        case Mark::check: {
            // Cut out of the filled shield; the rim (or the background)
            // shows through.
            if (rim) break;
            QPainterPath check;
            check.moveTo(0.34, 0.50);
            check.lineTo(0.46, 0.63);
            check.lineTo(0.67, 0.37);
            p.save();
            p.setCompositionMode(QPainter::CompositionMode_Clear);
            p.strokePath(check, roundPen(Qt::transparent, stroke * 1.1));
            p.restore();
            break;
        }
        case Mark::exclamation: {
            p.setPen(roundPen(colour, stroke + 2 * grow));
            p.drawLine(QPointF(0.5, 0.32), QPointF(0.5, 0.57));
            p.setPen(Qt::NoPen);
            p.setBrush(colour);
            const qreal r = stroke * 0.7 + grow;
            p.drawEllipse(QPointF(0.5, 0.71), r, r);
            break;
        }
        case Mark::cross: {
            p.setPen(roundPen(colour, stroke + 2 * grow));
            p.drawLine(QPointF(0.38, 0.38), QPointF(0.62, 0.62));
            p.drawLine(QPointF(0.62, 0.38), QPointF(0.38, 0.62));
            break;
        }
    }
}

QImage renderLayer(const Glyph& glyph, int side, const QColor& colour, qreal stroke, qreal grow) {
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(side, side);
    drawLayer(p, glyph, colour, stroke, grow);
    return image;
}

class SymbolIconEngine : public QIconEngine {
public:
    SymbolIconEngine(QString name, SymbolStyle style) : name_(std::move(name)), style_(std::move(style)) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
        const int side = std::min(rect.width(), rect.height());
        if (side <= 0) return;
        const qreal dpr = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        const QImage image = renderSymbol(name_, side, styleFor(mode), dpr);
        const QRect target(rect.x() + (rect.width() - side) / 2, rect.y() + (rect.height() - side) / 2, side, side);
        painter->drawImage(target, image);
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State) override {
        QPixmap pixmap(size);
        pixmap.fill(Qt::transparent);
        const int side = std::min(size.width(), size.height());
        if (side <= 0) return pixmap;
        QPainter p(&pixmap);
        p.drawImage(QPoint((size.width() - side) / 2, (size.height() - side) / 2),
                    renderSymbol(name_, side, styleFor(mode)));
        return pixmap;
    }

    QIconEngine* clone() const override { return new SymbolIconEngine(name_, style_); }
    QString key() const override { return QStringLiteral("keldra.symbol"); }
    QString iconName() override { return name_; }

private:
    SymbolStyle styleFor(QIcon::Mode mode) const {
        if (mode != QIcon::Disabled) return style_;
        SymbolStyle dimmed = style_;
        dimmed.ink.setAlphaF(dimmed.ink.alphaF() * 0.45);
        if (dimmed.halo) dimmed.halo->setAlphaF(dimmed.halo->alphaF() * 0.45);
        return dimmed;
    }

    QString name_;
    SymbolStyle style_;
};

}  // namespace

SymbolStyle trayStyle() {
    return {QColor(0x26, 0x26, 0x26), QColor(0xF4, 0xF4, 0xF4)};
}

const QStringList& symbolNames() {
    static const QStringList names{
        QStringLiteral("shield.slash"),
        QStringLiteral("shield"),
        QStringLiteral("checkmark.shield.fill"),
        QStringLiteral("exclamationmark.shield"),
        QStringLiteral("xmark.shield"),
    };
    return names;
}

QImage renderSymbol(const QString& name, int pixels, const SymbolStyle& style, qreal devicePixelRatio) {
    const qreal dpr = devicePixelRatio > 0 ? devicePixelRatio : 1.0;
    const int side = std::max(1, static_cast<int>(std::lround(pixels * dpr)));
    const Glyph glyph = glyphOf(name);
    // Strokes never get thinner than one and a half device pixels, so the
    // smallest tray sizes stay solid.
    const qreal px = 1.0 / side;
    const qreal stroke = std::max(0.085, 1.5 * px);
    const qreal grow = style.halo ? std::max(0.05, 1.2 * px) : 0.0;

    QImage out(side, side, QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    {
        QPainter p(&out);
        if (style.halo) p.drawImage(0, 0, renderLayer(glyph, side, *style.halo, stroke, grow));
        p.drawImage(0, 0, renderLayer(glyph, side, style.ink, stroke, 0));
    }
    out.setDevicePixelRatio(dpr);
    return out;
}

QIcon symbolIcon(const QString& name, const SymbolStyle& style) {
    return QIcon(new SymbolIconEngine(name, style));
}

}  // namespace keldra::screens
