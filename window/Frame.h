#pragma once

#include <QGroupBox>

// A frame in the classic style: an etched border whose top edge runs through the middle of
// the caption. Contents are placed from the frame's outer top-left, so a control at top 0 sits
// on the caption's line.
class Frame : public QGroupBox {
    Q_OBJECT
public:
    explicit Frame(const QString& caption, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};
