#include "looptest/LoopTest.h"

#include "window/Accessibility.h"

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QLabel>
#include <QPushButton>

// What a screen reader says of each control: "Relay 3", closed or open; "Input 12", active or
// inactive; "Errors of relay 3: 12"; "Set speed, 100 ms". The frames are the boxes' parents.
void LoopTest::describeForScreenReaders() {
    for (int i = 0; i < 16; ++i) {
        describeBox(R16[i], QStringLiteral("Relay %1").arg(i), "closed", "open");
        describeBox(P16[i], QStringLiteral("Input %1").arg(i), "active", "inactive");
        describeCounter(errLb[i], QStringLiteral("Errors of relay %1").arg(i),
                        QStringLiteral("Mismatches and failed writes counted against relay %1, "
                                       "wired to input %2")
                            .arg(i)
                            .arg(15 - i));
    }
    describeCounter(Label2, QStringLiteral("Loop count"),
                    QStringLiteral("Relay writes read back so far"));
    describeBar(VScroll1, "Set speed", "The auto step period in milliseconds, 20 to 10000");
    describeBar(VScroll2, "Get speed",
                "The read-back delay after each relay write in milliseconds, 5 to 500");

    const struct {
        QWidget* control;
        const char* name; // empty: the control's own caption
        const char* description;
    } fixed[] = {
        {Command1, "", "Opens every relay and ends the program"},
        {autoCmd, "", "Starts or stops walking one closed relay through all sixteen channels"},
        {resetCmd, "", "Clears the loop count and the error counts, in manual mode"},
        {matchLb, "Verdict", "Shows Error!!! after a read-back with a mismatch or a failed read"},
        {Label1, "", "Labels the loop count"},
        {setspeedLb, "Set speed", "The auto step period in milliseconds"},
        {getspeedLb, "Get speed", "The read-back delay in milliseconds"},
        {P16[0]->parentWidget(), "", "The photo inputs P0 to P15, as last read back"},
        {R16[0]->parentWidget(), "", "The relays R0 to R15; click one to switch it"},
        {VScroll1->parentWidget(), "", "The auto step period"},
        {VScroll2->parentWidget(), "", "The read-back delay"},
        {errLb[0]->parentWidget(), "", "Errors counted against each relay"},
    };
    for (const auto& f : fixed)
        describe(f.control, f.name, f.description);
    setAccessibleName(windowTitle());
    setAccessibleDescription(QStringLiteral("Tests a card of 16 relays wired back to 16 inputs"));
}
