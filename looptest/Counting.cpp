#include "looptest/Counting.h"

#include <QString>

namespace {

struct KindText {
    const char* name;
    const char* words;
};

constexpr KindText kKinds[kErrorKinds] = {
    {"input-inactive", "input inactive while the relay was closed"},
    {"input-active", "input active while the relay was open"},
    {"write-failed", "failed write"},
    {"read-failed", "failed read"},
};

} // namespace

const char* kindName(ErrorKind kind) {
    return kKinds[static_cast<int>(kind)].name;
}

const char* kindWords(ErrorKind kind) {
    return kKinds[static_cast<int>(kind)].words;
}

std::optional<ErrorKind> kindFromName(QStringView name) {
    for (int k = 0; k < kErrorKinds; ++k)
        if (name == QLatin1String(kKinds[k].name))
            return static_cast<ErrorKind>(k);
    return std::nullopt;
}
