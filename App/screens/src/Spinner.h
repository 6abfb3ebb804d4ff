#pragma once
// The small busy indicator of the panel's header: twelve spokes whose
// brightness runs round, animated only while the widget is shown.

#include <QTimer>
#include <QWidget>

namespace keldra::screens {

class Spinner : public QWidget {
    Q_OBJECT
public:
    explicit Spinner(QWidget* parent = nullptr);

    QSize sizeHint() const override;
    bool isAnimating() const { return timer_.isActive(); }
    // Which spoke is brightest, 0 to 11.
    int phase() const { return phase_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QTimer timer_;
    int phase_ = 0;
};

}  // namespace keldra::screens
