#pragma once

#include <QString>

#include <cstdint>
#include <vector>

// The window's layout as data: every control in creation order, with its container, caption,
// geometry in twips (1/1440 inch) relative to its container, tab index and settings.
namespace layout {

enum class Kind { CommandButton, Frame, Label, CheckBox, ScrollBar, Timer, CardControl };
enum class Border { None, FixedSingle };
enum class Align { Left, Right, Center };

struct Font {
    const char* face;
    double points;
    int weight;
};

// Colours are 0x00BBGGRR; 0x800000nn names system colour nn.
using Colour = std::uint32_t;
inline constexpr Colour kKindDefault = 0xFFFFFFFFu; // the control kind's own colour
inline constexpr Colour kSystemColourFlag = 0x80000000u;

inline constexpr Font kDefaultFont{"MS Sans Serif", 8.25, 700};
inline constexpr int kNoTab = -1;

struct Range {
    int min = 0;
    int max = 0;
    int smallChange = 0;
    int largeChange = 0;
    int value = 0;
};

struct Control {
    QString name;   // "resetCmd", or "R16(3)" for an array member
    QString base;   // "R16" for an array member, else the name
    int index = -1; // array index, -1 outside arrays
    Kind kind = Kind::Label;
    QString container; // "" for the window, else a frame's name
    QString caption;
    int left = 0, top = 0, width = 0, height = 0;
    int tab = kNoTab;
    Font font = kDefaultFont;
    Colour backColour = kKindDefault;
    Border border = Border::None;
    Align align = Align::Left;
    Range range;      // scroll bars
    int interval = 0; // timers, milliseconds
    bool enabled = true;
};

// The window's client area in twips.
inline constexpr int kClientWidth = 7965;
inline constexpr int kClientHeight = 3945;
inline constexpr const char* kCaption = "ISA Relvo Demo Program";

// All 66 controls in creation order; a container comes before its contents.
const std::vector<Control>& controls();

// Twips to pixels at the given logical DPI (15 twips per pixel at 96 dpi).
int pixels(int twips, double dpi);

} // namespace layout
