#include "window/Layout.h"

#include <array>
#include <cmath>
#include <span>

namespace layout {
namespace {

// A row of the layout table. A row with members stands for a control array: its members'
// left edge and tab index follow from the index by the row's formulas, and they are created in
// the row's member order. The chained setters keep each row on a line or two.
struct Row {
    const char* name;
    Kind kind;
    const char* in;
    const char* caption;
    int left, top, width, height;
    int tab;
    std::span<const int> members = {}; // creation order of an array's indexes
    int leftStep = 0;                  // left of member i = left + leftStep * i
    int (*memberTab)(int) = nullptr;   // tab index of member i
    bool captionIndex = false;         // member caption = caption followed by the index
    Font font = kDefaultFont;
    Colour back = kKindDefault;
    Border border = Border::None;
    Align align = Align::Left;
    Range range = {};
    int interval = 0;
    bool enabled = true;

    constexpr Row array(std::span<const int> order, int step, int (*tabOf)(int),
                        bool indexCaption) const {
        Row r = *this;
        r.members = order;
        r.leftStep = step;
        r.memberTab = tabOf;
        r.captionIndex = indexCaption;
        return r;
    }
    constexpr Row label(Colour backColour, Border b, Align a, Font f = kDefaultFont) const {
        Row r = *this;
        r.back = backColour;
        r.border = b;
        r.align = a;
        r.font = f;
        return r;
    }
    constexpr Row scroll(Range rg) const {
        Row r = *this;
        r.range = rg;
        return r;
    }
    constexpr Row timer(int ms) const {
        Row r = *this;
        r.interval = ms;
        r.enabled = false;
        return r;
    }
};

constexpr std::array<int, 16> kAscending{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
constexpr std::array<int, 16> kZeroThenDown{0, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1};
constexpr std::array<int, 16> kOneUpThenZero{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0};

constexpr Font kSpeedFont{"Times New Roman", 14.25, 700};
constexpr Font kMatchFont{"MS Sans Serif", 12.0, 700};
constexpr Colour kNone = kKindDefault;
using B = Border;
using A = Align;
using K = Kind;

// clang-format off
const Row kRows[] = {
    Row{"resetCmd",   K::CommandButton, "",       "Reset",         2040, 3360, 1215, 495, 62},
    Row{"Frame5",     K::Frame,         "",       "Error Count",      0, 2640, 7950, 615, 43},
    Row{"errLb",      K::Label,         "Frame5", "0",              120,  240,  495, 255, kNoTab}
        .array(kAscending, 480, [](int i) { return 59 - i; }, false)
        .label(0x80000009u, B::FixedSingle, A::Right),
    Row{"Frame2",     K::Frame,         "",       "Relay State",      0,  840, 7950, 975, 26},
    Row{"R16",        K::CheckBox,      "Frame2", "R",              120,  360,  495, 495, kNoTab}
        .array(kZeroThenDown, 480, [](int i) { return i == 0 ? 42 : 26 + i; }, true),
    Row{"Label2",     K::Label,         "Frame2", "0",             1920,    0,  855, 255, 61}
        .label(0x8000000Eu, B::FixedSingle, A::Right),
    Row{"Label1",     K::Label,         "Frame2", "Loop:",         1320,    0,  615, 255, 60},
    Row{"Frame4",     K::Frame,         "",       "Get Speed(ms)", 6360,    0, 1575, 735, 23},
    Row{"VScroll2",   K::ScrollBar,     "Frame4", "",              1080,  240,  375, 375, 24}
        .scroll({5, 500, 1, 1, 5}),
    Row{"getspeedLb", K::Label,         "Frame4", "0",              120,  240,  975, 375, 25}
        .label(0x00C0E0FFu, B::FixedSingle, A::Right, kSpeedFont),
    Row{"Frame3",     K::Frame,         "",       "Set Speed(ms)", 4680,    0, 1575, 735, 20},
    Row{"VScroll1",   K::ScrollBar,     "Frame3", "",              1080,  240,  375, 375, 21}
        .scroll({20, 10000, 5, 5, 100}),
    Row{"setspeedLb", K::Label,         "Frame3", "0",              120,  240,  975, 375, 22}
        .label(0x00FFFFC0u, B::FixedSingle, A::Right, kSpeedFont),
    Row{"getTimer",   K::Timer,         "",       "",                 0,    0,    0,   0, kNoTab}.timer(5),
    Row{"Timer1",     K::Timer,         "",       "",                 0,    0,    0,   0, kNoTab}.timer(100),
    Row{"autoCmd",    K::CommandButton, "",       "Auto",          3360, 3360, 1215, 495, 18},
    Row{"Frame1",     K::Frame,         "",       "Photo State",      0, 1800, 7950, 855, 1},
    Row{"P16",        K::CheckBox,      "Frame1", "P",              120,  240,  495, 495, kNoTab}
        .array(kOneUpThenZero, 480, [](int i) { return i == 0 ? 2 : 18 - i; }, true),
    Row{"Command1",   K::CommandButton, "",       "OK",            4680, 3360, 1215, 495, 0},
    Row{"Tak",        K::CardControl,   "",       "",                 0,    0,    0,   0, kNoTab},
    Row{"matchLb",    K::Label,         "",       "Label1",         120,  240, 4455, 375, 19}
        .label(kNone, B::None, A::Center, kMatchFont),
};
// clang-format on

Control fromRow(const Row& row) {
    Control c;
    c.name = c.base = QString::fromLatin1(row.name);
    c.kind = row.kind;
    c.container = QString::fromLatin1(row.in);
    c.caption = QString::fromLatin1(row.caption);
    c.left = row.left;
    c.top = row.top;
    c.width = row.width;
    c.height = row.height;
    c.tab = row.tab;
    c.font = row.font;
    c.backColour = row.back;
    c.border = row.border;
    c.align = row.align;
    c.range = row.range;
    c.interval = row.interval;
    c.enabled = row.enabled;
    return c;
}

std::vector<Control> expand() {
    std::vector<Control> out;
    for (const Row& row : kRows) {
        if (row.members.empty()) {
            out.push_back(fromRow(row));
            continue;
        }
        for (int i : row.members) {
            Control c = fromRow(row);
            c.index = i;
            c.name = QStringLiteral("%1(%2)").arg(c.base).arg(i);
            c.left = row.left + row.leftStep * i;
            c.tab = row.memberTab(i);
            if (row.captionIndex)
                c.caption += QString::number(i);
            out.push_back(std::move(c));
        }
    }
    return out;
}

} // namespace

const std::vector<Control>& controls() {
    static const std::vector<Control> all = expand();
    return all;
}

int pixels(int twips, double dpi) {
    return static_cast<int>(std::lround(twips * dpi / 1440.0));
}

} // namespace layout
