#include "support/Window.h"
#include "window/AppSetup.h"

#include <QAccessible>
#include <QPainter>
#include <QtTest>

#include <cmath>

// What a screen reader hears, and what a glance sees: the ticked state of the graphical check
// boxes stands out from the clear one.
class TstAccess : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { setUpApplication(*qApp); }
    void everyControlHasANameAndADescription();
    void namesFollowTheState();
    void aTickedBoxStandsOutEnabledOrNot();
};

namespace {

QString spoken(QWidget* w, QAccessible::Text what) {
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
    return a ? a->text(what) : QString();
}

// Relative luminance (WCAG 2.1) of the median colour of a box's face, away from its caption.
double luminance(const QImage& shot, QWidget* box, QWidget* window) {
    const QPoint at = box->mapTo(window, QPoint(0, 0));
    std::vector<double> values;
    for (int y = at.y() + 4; y < at.y() + 9; ++y)
        for (int x = at.x() + 4; x < at.x() + box->width() - 4; ++x) {
            const QColor c = shot.pixelColor(x, y);
            auto lin = [](double v) {
                v /= 255.0;
                return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
            };
            values.push_back(0.2126 * lin(c.red()) + 0.7152 * lin(c.green()) +
                             0.0722 * lin(c.blue()));
        }
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

void TstAccess::everyControlHasANameAndADescription() {
    Window win;
    for (QWidget* c : win.w->findChildren<QWidget*>()) {
        if (c->objectName().isEmpty() || c->objectName().startsWith(QLatin1String("qt_")))
            continue; // Qt's own parts of a control
        QVERIFY2(!spoken(c, QAccessible::Name).isEmpty(), qPrintable(c->objectName()));
        QVERIFY2(!spoken(c, QAccessible::Description).isEmpty(), qPrintable(c->objectName()));
    }
}

void TstAccess::namesFollowTheState() {
    Window win;
    QCOMPARE(spoken(win.R16(3), QAccessible::Name), QStringLiteral("Relay 3"));
    QCOMPARE(spoken(win.R16(3), QAccessible::Description), QStringLiteral("Relay 3 is open"));
    QCOMPARE(spoken(win.P16(12), QAccessible::Name), QStringLiteral("Input 12"));
    win.card.onRead = [](int port, std::int16_t& data) {
        data = port == 1 ? 0xEF : 0xFF; // input 12 active, relay 3's wrong partner is fine
        return true;
    };
    win.R16(3)->click();
    win.w->getTimer_Timer();
    QCOMPARE(spoken(win.R16(3), QAccessible::Description), QStringLiteral("Relay 3 is closed"));
    QCOMPARE(spoken(win.P16(12), QAccessible::Description), QStringLiteral("Input 12 is active"));
    win.R16(3)->click();
    win.w->getTimer_Timer(); // relay 3 open, input 12 still active: a mismatch
    QCOMPARE(spoken(win.errLb(3), QAccessible::Name), QStringLiteral("Errors of relay 3: 1"));
    QCOMPARE(spoken(win.label("Label2"), QAccessible::Name), QStringLiteral("Loop count: 2"));
    QCOMPARE(spoken(win.bar("VScroll1"), QAccessible::Name), QStringLiteral("Set speed, 100 ms"));
    QTest::keyClick(win.bar("VScroll1"), Qt::Key_Up);
    QCOMPARE(spoken(win.bar("VScroll1"), QAccessible::Name), QStringLiteral("Set speed, 105 ms"));
}

void TstAccess::aTickedBoxStandsOutEnabledOrNot() {
    Window win;
    win.w->show();
    QVERIFY(QTest::qWaitForWindowExposed(win.w.get()));
    win.R16(2)->setChecked(true);
    win.P16(5)->setChecked(true);
    for (bool enabled : {true, false}) {
        for (int i : {1, 2, 4, 5}) {
            win.R16(i)->setEnabled(enabled);
            win.P16(i)->setEnabled(enabled);
        }
        const QImage shot = win.w->grab().toImage();
        shot.save(QStringLiteral(LOOPTEST_ARTEFACTS "/boxes-%1.png")
                      .arg(enabled ? "enabled" : "disabled"));
        const std::pair<QWidget*, QWidget*> pairs[] = {{win.R16(2), win.R16(1)},
                                                       {win.P16(5), win.P16(4)}};
        for (const auto& [ticked, clear] : pairs) {
            const double a = luminance(shot, ticked, win.w.get());
            const double b = luminance(shot, clear, win.w.get());
            const double contrast = (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
            QVERIFY2(contrast >= 3.0, qPrintable(QStringLiteral("%1 against %2: %3:1 (%4)")
                                                     .arg(ticked->objectName(), clear->objectName())
                                                     .arg(contrast, 0, 'f', 2)
                                                     .arg(enabled ? "enabled" : "disabled")));
        }
    }
}

QTEST_MAIN(TstAccess)
#include "tst_access.moc"
