#pragma once

#include <QPushButton>

// A command button that Enter presses while it has the focus, as Space does. The window has
// no default button, so Enter never presses a button that lacks the focus.
class CommandButton : public QPushButton {
    Q_OBJECT
public:
    explicit CommandButton(const QString& caption, QWidget* parent = nullptr);

protected:
    void keyPressEvent(QKeyEvent* event) override;
};
