#pragma once
// The five status symbols of the tray icon and the panel's header, drawn as
// vector paths so they stay sharp at every size and need no icon theme:
//   shield.slash, shield, checkmark.shield.fill, exclamationmark.shield,
//   xmark.shield
// A name outside these five draws the plain shield.

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QString>
#include <QStringList>
#include <optional>

namespace keldra::screens {

struct SymbolStyle {
    QColor ink;
    // A light rim around every stroke, so that a dark symbol stays readable
    // on a dark tray as well as on a light one.
    std::optional<QColor> halo;
};

// Dark ink with a light rim: what the tray shows, whatever its background.
SymbolStyle trayStyle();

// The five names this code knows how to draw.
const QStringList& symbolNames();

// The symbol rendered into a transparent square image of `pixels` wide.
QImage renderSymbol(const QString& name, int pixels, const SymbolStyle& style, qreal devicePixelRatio = 1.0);

// An icon that draws the symbol afresh at whatever size it is asked for.
QIcon symbolIcon(const QString& name, const SymbolStyle& style);

}  // namespace keldra::screens
