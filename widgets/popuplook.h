#pragma once

#include <QString>

class QWidget;

// Pop-ups are drawn see-through over the window they belong to: a dimming layer, a toast's
// strip. Where the window system cannot blend windows (an X desktop without a compositor
// paints every see-through pixel black) they take an opaque, light look with the same layout.
// The window that owns a pop-up finds out which look fits and hands the pop-up a flag.
namespace PopupLook {

// Gives a dimming layer the form's own (translucent) style, or that style with a plain light
// layer added. A form style of rules must name the layer by its object name, as the light rule
// does; one of bare declarations applies to the layer as it is.
void applyDimming(QWidget *layer, const QString &formStyle, bool bTranslucent);

// The dimming layer's style for a pop-up that covers a window of its own with nothing beneath
// to dim: opaque and square (whatever the form's style), so not one see-through pixel is left
// to show black.
QString coveringStyle(const QString &formStyle);

// The toast strip's style: the form's own, or that style with the grey the see-through strip
// shows on the page appended.
QString toastStripStyle(const QString &formStyle, bool bTranslucent);

} // namespace PopupLook
