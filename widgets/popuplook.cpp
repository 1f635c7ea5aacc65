#include "popuplook.h"

#include <QStyle>
#include <QWidget>

namespace PopupLook {

void applyDimming(QWidget *layer, const QString &formStyle, bool bTranslucent) {
    // Light, so the screen does not seem to go dark; dark enough to set the white card off.
    const QString light = QStringLiteral("background-color: #DDE1E8;");
    QString style = formStyle;
    // A bare declaration after a rule leaves the style unreadable to Qt: the layer would stay
    // see-through, black without a compositor.
    if (!bTranslucent)
        style += formStyle.contains(QLatin1Char('{'))
                     ? QStringLiteral("\n#%1 { %2 }").arg(layer->objectName(), light)
                     : QLatin1Char('\n') + light;
    if (layer->styleSheet() == style)
        return;
    layer->setStyleSheet(style);
    // Qt reads a changed style anew only for a layer already polished (shown once); before
    // that it keeps the rules it read from the form's style, and the first show draws those.
    if (!layer->testAttribute(Qt::WA_WState_Polished)) {
        layer->style()->unpolish(layer);
        layer->style()->polish(layer);
    }
}

QString coveringStyle(const QString &formStyle) {
    Q_UNUSED(formStyle)
    // The card's own white: its rounded corners vanish into it. A replacement, not an addition:
    // a later border-radius does not undo the form's rounded corners.
    return QStringLiteral("background-color: #FFFFFF;\nborder-radius: 0px;");
}

QString toastStripStyle(const QString &formStyle, bool bTranslucent) {
    if (bTranslucent)
        return formStyle;
    // Half black over the page background #F8F9FA; square, as the window around it is cut
    // away to the strip's rectangle.
    return formStyle + QStringLiteral("\nbackground-color: #7C7C7D;\nborder-radius: 0px;");
}

} // namespace PopupLook
