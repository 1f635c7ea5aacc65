#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

namespace Ui {
class popWidget;
}

// What the upgrade pop-up shows.
enum popType : int {
    POP_TYPE_UPGRADE = 0,
    POP_TYPE_INSTALLING = 1,
    POP_TYPE_DOWNLOADING = 2,
};
Q_DECLARE_METATYPE(popType)

// What the launcher's upgrade pop-up and the updater's reduced copy share: window set-up,
// form, pictures, titles, text layout and the joining of release-note lists. The two
// subclasses add their own buttons' behaviour and decide which states they handle.
class popWidgetBase : public QWidget {
    Q_OBJECT
public:
    ~popWidgetBase() override;

    // Release notes as one text: every item behind a "·", items separated by "\r\n\n".
    static QString joinMessages(const QStringList &messages);
    // The text box content for a version and its notes.
    static QString composeText(const QString &szVersion, const QString &szMessage);

    // false where the window system cannot blend windows: a light, opaque dimming layer.
    void setTranslucentLook(bool bTranslucent);

protected:
    popWidgetBase(const QString &radioText, QWidget *parent);
    // Shows the picture, title, buttons and text of a state. Returns false (and changes
    // nothing) for a state this pop-up does not handle.
    bool showPopState(const QString &szVersion, const QString &szMessage, popType type);
    virtual bool handlesType(popType type) const = 0;

    Ui::popWidget *ui;

private:
    QString m_szDimmingStyle;
};
