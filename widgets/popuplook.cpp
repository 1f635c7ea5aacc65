#include "popuplook.h"

namespace PopupLook {

QString dimmingStyle(const QString &formStyle, bool bTranslucent) {
    if (bTranslucent)
        return formStyle;
    // Light, so the screen does not seem to go dark; dark enough to set the white card off.
    return formStyle + QStringLiteral("\nbackground-color: #DDE1E8;");
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
