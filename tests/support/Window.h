#pragma once

#include "looptest/LoopTest.h"
#include "support/ModalAnswerer.h"
#include "support/ScriptedCard.h"
#include "window/WindowTimer.h"

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <memory>

// A started window on a scripted card, with typed access to its controls by name.
struct Window {
    ScriptedCard card;
    std::unique_ptr<LoopTest> w;

    // Creates the window and runs its start-up against the card, answering the boxes.
    explicit Window(bool load = true) {
        w = std::make_unique<LoopTest>(card);
        if (load) {
            ModalAnswerer answerer;
            w->Form_Load();
            card.clear();
        }
    }

    template <class T> T* get(const QString& name) const {
        T* c = w->findChild<T*>(name);
        if (!c)
            qFatal("no control %s", qPrintable(name));
        return c;
    }
    QAbstractButton* R16(int i) const {
        return get<QAbstractButton>(QStringLiteral("R16(%1)").arg(i));
    }
    QAbstractButton* P16(int i) const {
        return get<QAbstractButton>(QStringLiteral("P16(%1)").arg(i));
    }
    QLabel* errLb(int i) const { return get<QLabel>(QStringLiteral("errLb(%1)").arg(i)); }
    QLabel* label(const char* name) const { return get<QLabel>(QString::fromLatin1(name)); }
    QPushButton* button(const char* name) const {
        return get<QPushButton>(QString::fromLatin1(name));
    }
    WindowTimer* timer(const char* name) const {
        return get<WindowTimer>(QString::fromLatin1(name));
    }
    QAbstractSlider* bar(const char* name) const {
        return get<QAbstractSlider>(QString::fromLatin1(name));
    }

    QString loops() const { return label("Label2")->text(); }
    QString verdict() const { return label("matchLb")->text(); }
    // The sixteen error counters as text, "0 0 0 ...".
    QString errors() const {
        QStringList out;
        for (int i = 0; i < 16; ++i)
            out << errLb(i)->text();
        return out.join(QLatin1Char(' '));
    }
    // Relay or photo boxes as a 16-bit pattern, bit i for box i.
    int ticked(bool relays) const {
        int bits = 0;
        for (int i = 0; i < 16; ++i)
            if ((relays ? R16(i) : P16(i))->isChecked())
                bits |= 1 << i;
        return bits;
    }
};
