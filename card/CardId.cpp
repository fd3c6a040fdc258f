#include "card/CardId.h"

#include <algorithm>

bool validCardId(const QString& id) {
    // Every character checked, so that nothing (a line break at the end, a letter of another
    // script) slips past as a pattern's anchors or classes might let it.
    if (id.isEmpty() || id.size() > 64 || id.front() == QLatin1Char('.'))
        return false;
    return std::all_of(id.begin(), id.end(), [](QChar c) {
        const char16_t u = c.unicode();
        return (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') ||
               u == '.' || u == '-' || u == '_';
    });
}
