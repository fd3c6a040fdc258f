#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <vector>

// Answers the modal boxes and dialogs a handler opens, as a user at the screen would, and
// records what each message box showed.
class ModalAnswerer {
public:
    struct Seen {
        QString title;
        QString text;
        QMessageBox::Icon icon;
        int buttons;
    };

    // Called for a modal dialog that is not a message box; the default cancels it.
    std::function<void(QDialog*)> onDialog = [](QDialog* d) { d->reject(); };
    // Called before a message box is answered with OK.
    std::function<void(const Seen&)> onMessage;

    std::vector<Seen> seen;

    ModalAnswerer() {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
        timer_.start();
    }

    QStringList texts() const {
        QStringList out;
        for (const auto& s : seen)
            out << s.text;
        return out;
    }

private:
    void poll() {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || modal == last_)
            return;
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            last_ = box;
            const auto buttons = box->buttons();
            seen.push_back(
                {box->windowTitle(), box->text(), box->icon(), static_cast<int>(buttons.size())});
            if (onMessage)
                onMessage(seen.back());
            if (QAbstractButton* ok = box->button(QMessageBox::Ok))
                ok->click();
            else
                box->reject();
        } else if (auto* dialog = qobject_cast<QDialog*>(modal)) {
            last_ = dialog;
            onDialog(dialog);
        }
    }

    QTimer timer_;
    QPointer<QWidget> last_; // a box freed and another made at its address is a new one
};
