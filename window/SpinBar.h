#pragma once

#include <QAbstractSlider>

// A vertical scroll bar too short for a track: two arrow buttons that step the value within
// its range. The top arrow raises the value, the bottom one lowers it; holding an arrow
// repeats. Up/Down keys move by the single step, Page Up/Down by the page step.
class SpinBar : public QAbstractSlider {
    Q_OBJECT
public:
    explicit SpinBar(QWidget* parent = nullptr);
    QSize sizeHint() const override { return {25, 25}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    enum class Arrow { None, Up, Down };
    Arrow arrowAt(QPoint pos) const;
    QRect arrowRect(Arrow arrow) const;

    Arrow pressed_ = Arrow::None;
};
