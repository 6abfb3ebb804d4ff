#pragma once
// The app's icon: one tray icon drawn from the state's symbol name, or,
// where no system tray exists, a small always-on-top window showing the same
// symbol, so the app is never invisible. A click opens the panel next to it;
// a click while the panel is open closes it.

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QWidget>

class QSystemTrayIcon;

namespace keldra::screens {

class MenuPanel;

// The stand-in for a tray: a small frameless window that stays on top.
class IconWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr int kSide = 32;

    explicit IconWindow(QWidget* parent = nullptr);
    void setSymbol(const QString& name);
    const QString& symbol() const { return symbol_; }

signals:
    void clicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QString symbol_;
};

class StatusIcon : public QObject {
    Q_OBJECT
public:
    enum class Kind { tray, window };

    // `panel` becomes a frameless popup that closes when it loses focus.
    // Without `forceWindow`, the tray is used when the system has one.
    explicit StatusIcon(MenuPanel* panel, bool forceWindow = false, QObject* parent = nullptr);
    ~StatusIcon() override;

    Kind kind() const { return kind_; }
    void setSymbol(const QString& name);
    const QString& symbol() const { return symbol_; }

    // What a click on the icon does: opens the panel by the icon, or closes
    // it when it is open.
    void toggle();

    // Places the panel next to `anchor` (the icon's screen rectangle), below
    // it when the icon is in the upper half of its screen, else above it,
    // always inside the screen's available area.
    static QPoint panelPosition(const QRect& anchor, const QSize& panel, const QRect& available);

    IconWindow* window() const { return window_; }
    QSystemTrayIcon* tray() const { return tray_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QRect anchor() const;
    void place();

    MenuPanel* panel_;
    Kind kind_ = Kind::tray;
    QString symbol_;
    QSystemTrayIcon* tray_ = nullptr;
    QPointer<IconWindow> window_;
    QRect anchor_;
    QElapsedTimer sinceHidden_;
};

}  // namespace keldra::screens
