#include "looptest/LoopTest.h"

#include "looptest/Counters.h"
#include "looptest/ResultTips.h"
#include "window/CommandButton.h"
#include "window/Frame.h"
#include "window/Layout.h"
#include "window/SpinBar.h"
#include "window/WindowTimer.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFont>
#include <QGroupBox>
#include <QLabel>
#include <QScreen>
#include <QStyle>
#include <QTimer>

#include <algorithm>

namespace {

// Faces to use where the layout's faces are not installed: metric-compatible ones first.
void installFontSubstitutes() {
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                               {QStringLiteral("Microsoft Sans Serif"),
                                QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"),
                                QStringLiteral("DejaVu Sans")});
    QFont::insertSubstitutions(QStringLiteral("Times New Roman"),
                               {QStringLiteral("Liberation Serif"), QStringLiteral("Tinos"),
                                QStringLiteral("DejaVu Serif")});
}

QFont fontFor(const layout::Font& f) {
    QFont font(QString::fromLatin1(f.face));
    font.setPointSizeF(f.points);
    font.setWeight(static_cast<QFont::Weight>(f.weight));
    return font;
}

// A layout colour as a Qt colour; system colours map to the palette's nearest role.
QColor colourFor(layout::Colour c, const QPalette& palette) {
    if (c == layout::kKindDefault)
        return palette.color(QPalette::Button);
    if (c & layout::kSystemColourFlag) {
        switch (c & 0xFFu) {
        case 9:  // text of an active title bar
        case 14: // text of selected items
            return palette.color(QPalette::Active, QPalette::HighlightedText);
        case 5: // window background
            return palette.color(QPalette::Base);
        default:
            return palette.color(QPalette::Button);
        }
    }
    return QColor(static_cast<int>(c & 0xFFu), static_cast<int>((c >> 8) & 0xFFu),
                  static_cast<int>((c >> 16) & 0xFFu));
}

Qt::Alignment alignmentFor(layout::Align a) {
    switch (a) {
    case layout::Align::Right:
        return Qt::AlignRight | Qt::AlignTop;
    case layout::Align::Center:
        return Qt::AlignHCenter | Qt::AlignTop;
    case layout::Align::Left:
        break;
    }
    return Qt::AlignLeft | Qt::AlignTop;
}

template <class T> T* required(QObject* root, const QString& name) {
    T* child = root->findChild<T*>(name);
    if (!child)
        qFatal("looptest: the layout has no control named %s", qPrintable(name));
    return child;
}

} // namespace

LoopTest::LoopTest(CardControl& tak, QWidget* parent)
    : QWidget(parent)
    , Tak(tak)
    , runtime_(this, [this] { endProgram(); }) {
    installFontSubstitutes();
    setObjectName(QStringLiteral("LoopTest"));
    setWindowTitle(QString::fromLatin1(layout::kCaption));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    createControls();
    setTabOrder();
    connectEvents();
    describeForScreenReaders();
    results_.setSetting(LoopResults::Setting::StepPeriod, Timer1->interval());
    results_.setSetting(LoopResults::Setting::ReadBackDelay, getTimer->interval());
    showResults();
    Command1->setFocus();
}

LoopTest::~LoopTest() = default;

// A control of the layout, in its container; nothing for those that take no place.
QWidget* LoopTest::createControl(const layout::Control& c, QWidget* container) {
    switch (c.kind) {
    case layout::Kind::CommandButton:
        return new CommandButton(c.caption, container);
    case layout::Kind::Frame:
        return new Frame(c.caption, container);
    case layout::Kind::Label: {
        auto* label = new QLabel(c.caption, container);
        label->setAlignment(alignmentFor(c.align));
        if (c.border == layout::Border::FixedSingle) {
            label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
            label->setLineWidth(1);
        }
        // Labels are opaque, in their own colour or the button face.
        label->setAutoFillBackground(true);
        QPalette pal = label->palette();
        pal.setColor(QPalette::Window, colourFor(c.backColour, pal));
        label->setPalette(pal);
        return label;
    }
    case layout::Kind::CheckBox: {
        // Graphical style: a push button that stays pressed while ticked.
        auto* box = new QPushButton(c.caption, container);
        box->setCheckable(true);
        box->setAutoDefault(false);
        return box;
    }
    case layout::Kind::ScrollBar: {
        auto* bar = new SpinBar(container);
        bar->setRange(c.range.min, c.range.max);
        bar->setSingleStep(c.range.smallChange);
        bar->setPageStep(c.range.largeChange);
        bar->setValue(c.range.value);
        return bar;
    }
    case layout::Kind::Timer: {
        auto* timer = new WindowTimer(this);
        timer->setObjectName(c.name);
        timer->setInterval(c.interval);
        return nullptr; // timers start disabled and take no place
    }
    case layout::Kind::CardControl: {
        // The card control takes no place on the window; this marks where it sits in the
        // creation order and holds its name.
        auto* host = new QObject(this);
        host->setObjectName(c.name);
        return nullptr;
    }
    }
    return nullptr;
}

void LoopTest::createControls() {
    const double dpi = screen() ? screen()->logicalDotsPerInch() : 96.0;
    setFixedSize(layout::pixels(layout::kClientWidth, dpi),
                 layout::pixels(layout::kClientHeight, dpi));

    for (const layout::Control& c : layout::controls()) {
        QWidget* container = c.container.isEmpty() ? this : required<QWidget>(this, c.container);
        QWidget* widget = createControl(c, container);
        if (!widget)
            continue; // timers and the card control take no place
        widget->setObjectName(c.name);
        widget->setFont(fontFor(c.font));
        const int x = layout::pixels(c.left, dpi);
        const int y = layout::pixels(c.top, dpi);
        widget->setGeometry(x, y, layout::pixels(c.left + c.width, dpi) - x,
                            layout::pixels(c.top + c.height, dpi) - y);
        widget->setEnabled(c.enabled);
        if (c.kind == layout::Kind::Frame || c.kind == layout::Kind::Label)
            widget->setFocusPolicy(Qt::NoFocus);
    }

    for (int i = 0; i < 16; ++i) {
        R16[i] = required<QAbstractButton>(this, QStringLiteral("R16(%1)").arg(i));
        P16[i] = required<QAbstractButton>(this, QStringLiteral("P16(%1)").arg(i));
        errLb[i] = required<QLabel>(this, QStringLiteral("errLb(%1)").arg(i));
    }
    Label1 = required<QLabel>(this, QStringLiteral("Label1"));
    Label2 = required<QLabel>(this, QStringLiteral("Label2"));
    getspeedLb = required<QLabel>(this, QStringLiteral("getspeedLb"));
    setspeedLb = required<QLabel>(this, QStringLiteral("setspeedLb"));
    matchLb = required<QLabel>(this, QStringLiteral("matchLb"));
    resetCmd = required<QPushButton>(this, QStringLiteral("resetCmd"));
    autoCmd = required<QPushButton>(this, QStringLiteral("autoCmd"));
    Command1 = required<QPushButton>(this, QStringLiteral("Command1"));
    VScroll1 = required<QAbstractSlider>(this, QStringLiteral("VScroll1"));
    VScroll2 = required<QAbstractSlider>(this, QStringLiteral("VScroll2"));
    getTimer = required<WindowTimer>(this, QStringLiteral("getTimer"));
    Timer1 = required<WindowTimer>(this, QStringLiteral("Timer1"));
}

void LoopTest::setTabOrder() {
    // Walk the focus-taking controls by tab index; Qt's focus chain closes the circle.
    std::vector<std::pair<int, QWidget*>> stops;
    for (const layout::Control& c : layout::controls()) {
        const bool takesFocus = c.kind == layout::Kind::CommandButton ||
                                c.kind == layout::Kind::CheckBox ||
                                c.kind == layout::Kind::ScrollBar;
        if (takesFocus)
            stops.emplace_back(c.tab, required<QWidget>(this, c.name));
    }
    std::sort(stops.begin(), stops.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t i = 1; i < stops.size(); ++i)
        QWidget::setTabOrder(stops[i - 1].second, stops[i].second);
}

void LoopTest::connectEvents() {
    // Relay boxes raise their click on every change of state, by the user or by a handler.
    for (int i = 0; i < 16; ++i)
        connect(R16[i], &QAbstractButton::toggled, this,
                [this, i] { R16_Click(static_cast<std::int16_t>(i)); });
    connect(Command1, &QAbstractButton::clicked, this, [this] { Command1_Click(); });
    connect(autoCmd, &QAbstractButton::clicked, this, [this] { autoCmd_Click(); });
    connect(resetCmd, &QAbstractButton::clicked, this, [this] { resetCmd_Click(); });
    connect(getTimer, &WindowTimer::timeout, this, [this] { getTimer_Timer(); });
    connect(Timer1, &WindowTimer::timeout, this, [this] { Timer1_Timer(); });
    connect(VScroll1, &QAbstractSlider::valueChanged, this, [this] { VScroll1_Change(); });
    connect(VScroll2, &QAbstractSlider::valueChanged, this, [this] { VScroll2_Change(); });
}

void LoopTest::showResults() {
    connect(&results_, &LoopResults::error, this, [this](const LoopError& e) {
        if (e.relay >= 0)
            counters::show(errLb[e.relay], results_.errors(e.relay));
    });
    connect(&results_, &LoopResults::loopCounted, this,
            [this](std::int64_t loops) { counters::show(Label2, loops); });
    connect(&results_, &LoopResults::cleared, this, [this] {
        counters::show(Label2, 0);
        for (QLabel* counter : errLb)
            counters::show(counter, 0);
    });
    new ResultTips(results_, errLb, Label2, matchLb, this);
}

void LoopTest::presetCounts(const LoopResults::Counts& counts) {
    results_.preset(counts);
    counters::show(Label2, counts.loops);
    for (int i = 0; i < 16; ++i)
        counters::show(errLb[i], results_.errors(i));
}

void LoopTest::setSpeeds(int stepMs, int readbackMs) {
    VScroll1->setValue(stepMs);
    VScroll2->setValue(readbackMs);
}

bool LoopTest::readBackPending() const {
    return getTimer->isActive();
}

bool LoopTest::writePort(std::int32_t port, std::int16_t data, int chargeTo) {
    const bool ok = Tak.WritePort(port, data);
    // Stamped as the call returns, failed or not: a write that timed out may still have
    // reached the card, and the card has had the byte no later than now.
    lastWriteNs_ = WindowTimer::nowNs();
    results_.wrote(port, data, ok, chargeTo, ok ? std::string() : Tak.lastError());
    return ok;
}

bool LoopTest::readPort(std::int32_t port, std::int16_t& data) {
    const bool ok = Tak.ReadPort(port, data);
    results_.read(port, ok, data, ok ? std::string() : Tak.lastError());
    return ok;
}

int LoopTest::state(const QAbstractButton* box) {
    return box->isChecked() ? 1 : 0;
}

void LoopTest::setState(QAbstractButton* box, int value) {
    box->setChecked(value != 0);
    runtime_.rethrowNested();
}

void LoopTest::paintPending() {
    // A handler that writes a relay arms the read-back timer. Painting after the handler would
    // run between arming and the event loop's wait, and Qt rounds that wait up to whole
    // milliseconds, so the read-back would come late by up to a millisecond. Painting before
    // the write keeps the wait clean.
    if (isVisible())
        QCoreApplication::sendPostedEvents(this, QEvent::UpdateRequest);
}

void LoopTest::setTimerEnabled(WindowTimer* timer, bool enabled) {
    if (!enabled)
        timer->stop();
    else if (!timer->isActive())
        timer->start();
}

void LoopTest::armReadBack() {
    getTimer->startFrom(lastWriteNs_);
}

void LoopTest::handle(Event event, const std::function<void()>& handler) {
    runtime_.dispatch(handler);
    if (runtime_.idle() && !runtime_.ended())
        emit handled(event);
}

void LoopTest::endProgram() {
    getTimer->stop();
    Timer1->stop();
    hide();
    emit programEnded();
}

void LoopTest::showEvent(QShowEvent* event) {
    if (!centred_ && !event->spontaneous()) {
        centred_ = true;
        if (QScreen* s = screen())
            setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(),
                                            s->availableGeometry()));
        Command1->setFocus();
    }
    QWidget::showEvent(event);
}

void LoopTest::closeEvent(QCloseEvent* event) {
    // Closing through the frame ends the program and leaves the relays as they are.
    runtime_.end();
    event->accept();
}
