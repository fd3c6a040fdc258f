#pragma once

#include <QFile>
#include <QProcess>
#include <QString>

// A page as a real browser (Debian's chromium, headless) draws it, 1200 by 900 pixels, saved as
// a PNG; false with why when it could not be drawn.
inline bool screenshot(const QString& html, const QString& png, QString& why) {
    const QString browser = QStringLiteral("/usr/bin/chromium");
    if (!QFile::exists(browser)) {
        why = QStringLiteral("chromium is missing: scripts/setup.sh installs it");
        return false;
    }
    QFile::remove(png);
    QProcess shot;
    shot.start(browser, {QStringLiteral("--headless"), QStringLiteral("--no-sandbox"),
                         QStringLiteral("--disable-gpu"), QStringLiteral("--hide-scrollbars"),
                         QStringLiteral("--window-size=1200,900"),
                         QStringLiteral("--screenshot=") + png, html});
    if (shot.waitForFinished(120000) && QFile::exists(png))
        return true;
    why = QString::fromUtf8(shot.readAllStandardError());
    return false;
}
