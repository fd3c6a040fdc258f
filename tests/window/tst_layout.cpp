#include "looptest/LoopTest.h"
#include "support/ScriptedCard.h"
#include "window/Layout.h"

#include "window/WindowTimer.h"
#include <QAbstractSlider>
#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include <QtTest>

#include <set>

// Geometry in window pixels at 96 dpi, as the window's design gives it in twips / 15.
struct Place {
    const char* name;
    const char* container; // "" for the window
    int x, y, w, h;
};

class TstLayout : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void windowIsFixedAndTitled();
    void everyControlSitsWhereTheDesignPutsIt();
    void columnsLineUpByIndex();
    void initialState();
    void fontsAndColours();
    void tabIndexesAreAPermutation();
    void focusStartsOnOkAndTabWalksTheDesignOrder();
    void enterAndSpacePressOnlyTheFocusedButton();
    void spinControlsStepWithinTheirRange();
    void twipsScaleWithDpi();

private:
    template <class T = QWidget> T* get(const QString& name) {
        T* w = window_->findChild<T*>(name);
        if (!w)
            qFatal("no control %s", qPrintable(name));
        return w;
    }
    QRect inWindow(QWidget* w) const { return QRect(w->mapTo(window_, QPoint(0, 0)), w->size()); }

    ScriptedCard card_;
    LoopTest* window_ = nullptr;
};

void TstLayout::init() {
    card_ = ScriptedCard();
    window_ = new LoopTest(card_);
    QCOMPARE(window_->screen()->logicalDotsPerInch(), 96.0);
}

void TstLayout::cleanup() {
    delete window_;
    window_ = nullptr;
}

void TstLayout::windowIsFixedAndTitled() {
    QCOMPARE(window_->windowTitle(), QStringLiteral("ISA Relvo Demo Program"));
    QCOMPARE(window_->size(), QSize(531, 263));
    QCOMPARE(window_->minimumSize(), QSize(531, 263));
    QCOMPARE(window_->maximumSize(), QSize(531, 263));
    const Qt::WindowFlags flags = window_->windowFlags();
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    QVERIFY(!window_->isVisible()); // constructing shows nothing

    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_));
    const QRect screen = window_->screen()->availableGeometry();
    QVERIFY(qAbs(window_->geometry().center().x() - screen.center().x()) <= 1);
    QVERIFY(qAbs(window_->geometry().center().y() - screen.center().y()) <= 1);
}

void TstLayout::everyControlSitsWhereTheDesignPutsIt() {
    std::vector<Place> places = {
        {"resetCmd", "", 136, 224, 81, 33},
        {"autoCmd", "", 224, 224, 81, 33},
        {"Command1", "", 312, 224, 81, 33},
        {"Frame5", "", 0, 176, 530, 41},
        {"Frame2", "", 0, 56, 530, 65},
        {"Frame1", "", 0, 120, 530, 57},
        {"Frame3", "", 312, 0, 105, 49},
        {"Frame4", "", 424, 0, 105, 49},
        {"Label1", "Frame2", 88, 56, 41, 17},
        {"Label2", "Frame2", 128, 56, 57, 17},
        {"setspeedLb", "Frame3", 320, 16, 65, 25},
        {"VScroll1", "Frame3", 384, 16, 25, 25},
        {"getspeedLb", "Frame4", 432, 16, 65, 25},
        {"VScroll2", "Frame4", 496, 16, 25, 25},
        {"matchLb", "", 8, 16, 297, 25},
    };
    std::vector<std::string> names; // keeps the array members' names alive
    names.reserve(48);
    for (int i = 0; i < 16; ++i) {
        names.push_back("R16(" + std::to_string(i) + ")");
        places.push_back({names.back().c_str(), "Frame2", 8 + 32 * i, 80, 33, 33});
        names.push_back("P16(" + std::to_string(i) + ")");
        places.push_back({names.back().c_str(), "Frame1", 8 + 32 * i, 136, 33, 33});
        names.push_back("errLb(" + std::to_string(i) + ")");
        places.push_back({names.back().c_str(), "Frame5", 8 + 32 * i, 192, 33, 17});
    }

    for (const Place& p : places) {
        QWidget* w = get(QString::fromLatin1(p.name));
        const QString container = QString::fromLatin1(p.container);
        QCOMPARE(w->parentWidget()->objectName(),
                 container.isEmpty() ? QStringLiteral("LoopTest") : container);
        if (inWindow(w) != QRect(p.x, p.y, p.w, p.h))
            QFAIL(qPrintable(QStringLiteral("%1 at %2,%3 %4x%5")
                                 .arg(p.name)
                                 .arg(inWindow(w).x())
                                 .arg(inWindow(w).y())
                                 .arg(w->width())
                                 .arg(w->height())));
    }
    // 63 placed controls, two timers and the card control: 66 in all, each named once.
    QCOMPARE(places.size(), std::size_t(63));
    QVERIFY(window_->findChild<QObject*>(QStringLiteral("Tak")));
    QCOMPARE(window_->findChildren<WindowTimer*>().size(), 2);
    QCOMPARE(layout::controls().size(), std::size_t(66));
    std::set<QString> unique;
    for (const auto& c : layout::controls())
        unique.insert(c.name);
    QCOMPARE(unique.size(), std::size_t(66));
}

void TstLayout::columnsLineUpByIndex() {
    for (int i = 0; i < 16; ++i) {
        const QRect r = inWindow(get(QStringLiteral("R16(%1)").arg(i)));
        const QRect p = inWindow(get(QStringLiteral("P16(%1)").arg(i)));
        const QRect e = inWindow(get(QStringLiteral("errLb(%1)").arg(i)));
        QCOMPARE(p.left(), r.left());
        QCOMPARE(e.left(), r.left());
        QCOMPARE(p.right(), r.right());
        QCOMPARE(e.right(), r.right());
        QVERIFY(r.bottom() < p.top() && p.bottom() < e.top());
        if (i > 0)
            QVERIFY(r.left() > inWindow(get(QStringLiteral("R16(%1)").arg(i - 1))).left());
    }
}

void TstLayout::initialState() {
    for (int i = 0; i < 16; ++i) {
        auto* r = get<QAbstractButton>(QStringLiteral("R16(%1)").arg(i));
        auto* p = get<QAbstractButton>(QStringLiteral("P16(%1)").arg(i));
        auto* e = get<QLabel>(QStringLiteral("errLb(%1)").arg(i));
        QCOMPARE(r->text(), QStringLiteral("R%1").arg(i));
        QCOMPARE(p->text(), QStringLiteral("P%1").arg(i));
        QVERIFY(r->isCheckable() && !r->isChecked() && r->isEnabled());
        QVERIFY(p->isCheckable() && !p->isChecked() && p->isEnabled());
        QCOMPARE(e->text(), QStringLiteral("0"));
        QCOMPARE(e->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignRight);
        QVERIFY(e->frameShape() != QFrame::NoFrame);
    }
    QCOMPARE(get<QPushButton>("resetCmd")->text(), QStringLiteral("Reset"));
    QCOMPARE(get<QPushButton>("autoCmd")->text(), QStringLiteral("Auto"));
    QCOMPARE(get<QPushButton>("Command1")->text(), QStringLiteral("OK"));
    QCOMPARE(get<QGroupBox>("Frame1")->title(), QStringLiteral("Photo State"));
    QCOMPARE(get<QGroupBox>("Frame2")->title(), QStringLiteral("Relay State"));
    QCOMPARE(get<QGroupBox>("Frame3")->title(), QStringLiteral("Set Speed(ms)"));
    QCOMPARE(get<QGroupBox>("Frame4")->title(), QStringLiteral("Get Speed(ms)"));
    QCOMPARE(get<QGroupBox>("Frame5")->title(), QStringLiteral("Error Count"));
    QCOMPARE(get<QLabel>("Label1")->text(), QStringLiteral("Loop:"));
    QCOMPARE(get<QLabel>("Label1")->frameShape(), QFrame::NoFrame);
    QCOMPARE(get<QLabel>("Label2")->text(), QStringLiteral("0"));
    QCOMPARE(get<QLabel>("getspeedLb")->text(), QStringLiteral("0"));
    QCOMPARE(get<QLabel>("setspeedLb")->text(), QStringLiteral("0"));
    QCOMPARE(get<QLabel>("matchLb")->text(), QStringLiteral("Label1"));
    QCOMPARE(get<QLabel>("matchLb")->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
    for (auto* b : window_->findChildren<QPushButton*>()) {
        QVERIFY(!b->isDefault());
        QVERIFY(!b->autoDefault());
    }

    auto* getTimer = window_->findChild<WindowTimer*>(QStringLiteral("getTimer"));
    auto* timer1 = window_->findChild<WindowTimer*>(QStringLiteral("Timer1"));
    QVERIFY(getTimer && timer1);
    QVERIFY(!getTimer->isActive() && !timer1->isActive());
    QCOMPARE(getTimer->interval(), 5);
    QCOMPARE(timer1->interval(), 100);
    QVERIFY(getTimer->onKernelClock() && timer1->onKernelClock());

    auto* v1 = get<QAbstractSlider>("VScroll1");
    auto* v2 = get<QAbstractSlider>("VScroll2");
    QCOMPARE(v1->minimum(), 20);
    QCOMPARE(v1->maximum(), 10000);
    QCOMPARE(v1->singleStep(), 5);
    QCOMPARE(v1->pageStep(), 5);
    QCOMPARE(v1->value(), 100);
    QCOMPARE(v2->minimum(), 5);
    QCOMPARE(v2->maximum(), 500);
    QCOMPARE(v2->singleStep(), 1);
    QCOMPARE(v2->pageStep(), 1);
    QCOMPARE(v2->value(), 5);
}

void TstLayout::fontsAndColours() {
    const QFont ok = get("Command1")->font();
    QCOMPARE(ok.pointSizeF(), 8.25);
    QCOMPARE(ok.weight(), QFont::Bold);
    QVERIFY(!ok.italic() && !ok.underline() && !ok.strikeOut());
    const QFont speed = get("getspeedLb")->font();
    QCOMPARE(speed.pointSizeF(), 14.25);
    QCOMPARE(speed.weight(), QFont::Bold);
    QCOMPARE(get("matchLb")->font().pointSizeF(), 12.0);

    // A missing face resolves to a metric-compatible one where installed, never to nothing.
    const QString serif = QFontInfo(speed).family();
    QVERIFY2(!serif.isEmpty(), "no font for the speed labels");
    if (QFontDatabase::families().contains(QStringLiteral("Liberation Serif")))
        QCOMPARE(serif, QStringLiteral("Liberation Serif"));
    if (QFontDatabase::families().contains(QStringLiteral("Liberation Sans")))
        QCOMPARE(QFontInfo(ok).family(), QStringLiteral("Liberation Sans"));

    auto background = [this](const char* name) {
        auto* l = get<QLabel>(QString::fromLatin1(name));
        return l->autoFillBackground() ? l->palette().color(QPalette::Window) : QColor();
    };
    QCOMPARE(background("getspeedLb"), QColor(255, 224, 192));
    QCOMPARE(background("setspeedLb"), QColor(192, 255, 255));
    QCOMPARE(background("errLb(7)"), QColor(Qt::white));
    QCOMPARE(background("Label2"), QColor(Qt::white));
}

void TstLayout::tabIndexesAreAPermutation() {
    std::vector<int> tabs;
    for (const auto& c : layout::controls())
        if (c.tab != layout::kNoTab)
            tabs.push_back(c.tab);
    std::sort(tabs.begin(), tabs.end());
    QCOMPARE(tabs.size(), std::size_t(63));
    for (int i = 0; i < 63; ++i)
        QCOMPARE(tabs[i], i);
}

void TstLayout::focusStartsOnOkAndTabWalksTheDesignOrder() {
    QStringList expected{QStringLiteral("Command1"), QStringLiteral("P16(0)")};
    for (int i = 15; i >= 1; --i)
        expected << QStringLiteral("P16(%1)").arg(i);
    expected << QStringLiteral("autoCmd") << QStringLiteral("VScroll1")
             << QStringLiteral("VScroll2");
    for (int i = 1; i <= 15; ++i)
        expected << QStringLiteral("R16(%1)").arg(i);
    expected << QStringLiteral("R16(0)") << QStringLiteral("resetCmd")
             << QStringLiteral("Command1");

    window_->show();
    window_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window_));
    QStringList walked{QApplication::focusWidget()->objectName()};
    for (int i = 1; i < expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        walked << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(walked, expected);
    // Labels and frames never take the focus.
    for (auto* l : window_->findChildren<QLabel*>())
        QCOMPARE(l->focusPolicy(), Qt::NoFocus);
    for (auto* f : window_->findChildren<QGroupBox*>())
        QCOMPARE(f->focusPolicy(), Qt::NoFocus);
}

void TstLayout::enterAndSpacePressOnlyTheFocusedButton() {
    window_->show();
    window_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window_));
    QCOMPARE(QApplication::focusWidget(), get("Command1"));

    // Esc presses nothing; Enter on a focused relay box does not tick it.
    QTest::keyClick(get("Command1"), Qt::Key_Escape);
    get("R16(3)")->setFocus();
    QTest::keyClick(get("R16(3)"), Qt::Key_Return);
    QVERIFY(!get<QAbstractButton>("R16(3)")->isChecked());
    QVERIFY(card_.writes().empty());
    QVERIFY(!window_->isEnded());

    // Space on the focused OK presses it, as Enter does.
    get("Command1")->setFocus();
    QTest::keyClick(get("Command1"), Qt::Key_Space);
    QVERIFY(window_->isEnded());
    QCOMPARE(card_.writes().size(), std::size_t(2));

    cleanup();
    init();
    window_->show();
    window_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window_));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QVERIFY(window_->isEnded());
}

void TstLayout::spinControlsStepWithinTheirRange() {
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_));
    auto* v1 = get<QAbstractSlider>("VScroll1");
    auto* v2 = get<QAbstractSlider>("VScroll2");
    const QPoint up(12, 5), down(12, 20);

    QTest::mouseClick(v1, Qt::LeftButton, {}, up);
    QCOMPARE(v1->value(), 105);
    QTest::mouseClick(v1, Qt::LeftButton, {}, down);
    QTest::mouseClick(v1, Qt::LeftButton, {}, down);
    QCOMPARE(v1->value(), 95);
    QTest::keyClick(v1, Qt::Key_PageUp);
    QCOMPARE(v1->value(), 100);
    QTest::keyClick(v1, Qt::Key_Down);
    QCOMPARE(v1->value(), 95);
    for (int i = 0; i < 20; ++i)
        QTest::mouseClick(v1, Qt::LeftButton, {}, down);
    QCOMPARE(v1->value(), 20);

    QTest::mouseClick(v2, Qt::LeftButton, {}, down);
    QCOMPARE(v2->value(), 5);
    QTest::mouseClick(v2, Qt::LeftButton, {}, up);
    QCOMPARE(v2->value(), 6);
    QTest::keyClick(v2, Qt::Key_End);
    QCOMPARE(v2->value(), 500);
    QTest::mouseClick(v2, Qt::LeftButton, {}, up);
    QCOMPARE(v2->value(), 500);
    QTest::keyClick(v2, Qt::Key_PageDown);
    QCOMPARE(v2->value(), 499);

    // A disabled bar ignores the user.
    v2->setEnabled(false);
    QTest::mouseClick(v2, Qt::LeftButton, {}, down);
    QCOMPARE(v2->value(), 499);
}

void TstLayout::twipsScaleWithDpi() {
    QCOMPARE(layout::pixels(7965, 96), 531);
    QCOMPARE(layout::pixels(3945, 96), 263);
    QCOMPARE(layout::pixels(7965, 144), 797); // 796.5 rounds away from zero
    QCOMPARE(layout::pixels(1440, 120), 120);
}

QTEST_MAIN(TstLayout)
#include "tst_layout.moc"
