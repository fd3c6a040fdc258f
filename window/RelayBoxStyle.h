#pragma once

#include <QProxyStyle>

// The window's look: the given style, with the graphical check boxes' ticked state in a dark
// face and light text, so that a closed relay or an active input reads at a glance against a
// clear box (a contrast of at least 3:1), enabled or disabled, keeping the pressed look.
class RelayBoxStyle : public QProxyStyle {
    Q_OBJECT
public:
    explicit RelayBoxStyle(QStyle* base);
    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override;

    static const QColor kTickedFace;
    static const QColor kTickedFaceDisabled;

private:
    // The ticked palettes are made once per palette they derive from: a palette made anew for
    // every paint would have a new cache key each time, and the style's pixmap cache would
    // fill with faces it never finds again.
    const QPalette& tickedPalette(const QPalette& from, bool enabled) const;
    mutable qint64 sourceKey_ = -1;
    mutable QPalette ticked_[2];
};
