#include "labwindow/Marks.h"

#include <QApplication>
#include <QStyle>

Mark markOf(const QString& verdict) {
    if (verdict == QLatin1String("pass"))
        return Mark::Pass;
    if (verdict == QLatin1String("marginal"))
        return Mark::Marginal;
    if (verdict == QLatin1String("fail"))
        return Mark::Fail;
    return Mark::None;
}

Mark markOfRun(const LabDatabase::Run& run) {
    return markOf(run.verdict);
}

QIcon markIcon(Mark mark) {
    QStyle* style = QApplication::style();
    switch (mark) {
    case Mark::Pass:
        return style->standardIcon(QStyle::SP_DialogApplyButton);
    case Mark::Marginal:
        return style->standardIcon(QStyle::SP_MessageBoxWarning);
    case Mark::Fail:
        return style->standardIcon(QStyle::SP_MessageBoxCritical);
    case Mark::None:
        break;
    }
    return style->standardIcon(QStyle::SP_MessageBoxQuestion);
}

QColor markColour(Mark mark) {
    switch (mark) {
    case Mark::Pass:
        return QColor(0x1b, 0x7a, 0x2e);
    case Mark::Marginal:
        return QColor(0xa0, 0x60, 0x00);
    case Mark::Fail:
        return QColor(0xc0, 0x10, 0x10);
    case Mark::None:
        break;
    }
    return QColor(0x60, 0x60, 0x60);
}

QString markWord(Mark mark) {
    switch (mark) {
    case Mark::Pass:
        return QStringLiteral("pass");
    case Mark::Marginal:
        return QStringLiteral("marginal");
    case Mark::Fail:
        return QStringLiteral("FAIL");
    case Mark::None:
        break;
    }
    return QStringLiteral("not judged");
}
