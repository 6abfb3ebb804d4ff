#include "StatusIcon.h"

#include <QCursor>
#include <QEvent>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QSystemTrayIcon>
#include <algorithm>

#include "MenuPanel.h"
#include "ShieldSymbols.h"

namespace keldra::screens {

namespace {

// A click on the icon that itself closed the open panel (the popup closes
// on the press, the icon reports the release) must not open it again.
constexpr qint64 kReopenGuardMilliseconds = 250;
constexpr int kGap = 4;
constexpr int kWindowMargin = 8;

QRect availableAround(const QRect& anchor) {
    QScreen* screen = QGuiApplication::screenAt(anchor.center());
    if (!screen) screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
}

}  // namespace

// --- IconWindow ---------------------------------------------------------------

IconWindow::IconWindow(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
    setObjectName(QStringLiteral("KeldraIcon"));
    setWindowTitle(QStringLiteral("Keldra"));
    setFixedSize(kSide, kSide);
    setAttribute(Qt::WA_ShowWithoutActivating);
}

void IconWindow::setSymbol(const QString& name) {
    if (symbol_ == name) return;
    symbol_ = name;
    update();
}

void IconWindow::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), palette().color(QPalette::Window));
    p.setPen(palette().color(QPalette::Mid));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
    const int side = kSide - 8;
    p.drawImage(QPoint(4, 4), renderSymbol(symbol_, side, trayStyle(), devicePixelRatioF()));
}

void IconWindow::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) emit clicked();
    QWidget::mouseReleaseEvent(event);
}

// --- StatusIcon ----------------------------------------------------------------

StatusIcon::StatusIcon(MenuPanel* panel, bool forceWindow, QObject* parent) : QObject(parent), panel_(panel) {
    panel_->setWindowFlags(Qt::Popup | Qt::FramelessWindowHint);
    panel_->installEventFilter(this);
    connect(panel_, &MenuPanel::resized, this, [this] {
        if (panel_->isVisible()) place();
    });

    kind_ = (!forceWindow && QSystemTrayIcon::isSystemTrayAvailable()) ? Kind::tray : Kind::window;
    if (kind_ == Kind::tray) {
        tray_ = new QSystemTrayIcon(this);
        connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::Context) toggle();
        });
    } else {
        window_ = new IconWindow;
        connect(window_, &IconWindow::clicked, this, &StatusIcon::toggle);
        const QRect area = availableAround(QRect(QCursor::pos(), QSize(1, 1)));
        window_->move(area.right() - IconWindow::kSide - kWindowMargin + 1, area.top() + kWindowMargin);
    }
}

StatusIcon::~StatusIcon() {
    delete window_.data();
}

void StatusIcon::setSymbol(const QString& name) {
    if (name == symbol_ && (tray_ ? !tray_->icon().isNull() : true)) return;
    symbol_ = name;
    if (tray_) {
        tray_->setIcon(symbolIcon(name, trayStyle()));
        tray_->show();
    } else {
        window_->setSymbol(name);
        window_->show();
    }
}

void StatusIcon::toggle() {
    if (panel_->isVisible()) {
        panel_->hide();
        return;
    }
    if (sinceHidden_.isValid() && sinceHidden_.elapsed() < kReopenGuardMilliseconds) return;
    anchor_ = anchor();
    panel_->refresh();
    place();
    panel_->show();
    panel_->raise();
    panel_->activateWindow();
}

QRect StatusIcon::anchor() const {
    if (tray_) {
        const QRect geometry = tray_->geometry();
        if (geometry.isValid() && !geometry.isEmpty()) return geometry;
        return {QCursor::pos(), QSize(1, 1)};
    }
    return window_->frameGeometry();
}

void StatusIcon::place() {
    panel_->move(panelPosition(anchor_, panel_->size(), availableAround(anchor_)));
}

QPoint StatusIcon::panelPosition(const QRect& anchor, const QSize& panel, const QRect& available) {
    // Right edges aligned, as a panel hanging from a tray at the screen's edge.
    int x = anchor.right() + 1 - panel.width();
    x = std::clamp(x, available.left(), std::max(available.left(), available.right() + 1 - panel.width()));
    int y = anchor.center().y() < available.center().y() ? anchor.bottom() + 1 + kGap
                                                         : anchor.top() - kGap - panel.height();
    y = std::clamp(y, available.top(), std::max(available.top(), available.bottom() + 1 - panel.height()));
    return {x, y};
}

bool StatusIcon::eventFilter(QObject* watched, QEvent* event) {
    if (watched == panel_ && event->type() == QEvent::Hide) sinceHidden_.start();
    return QObject::eventFilter(watched, event);
}

}  // namespace keldra::screens
