#pragma once

#include <QMetaType>
#include <QString>
#include <QWidget>

namespace Ui {
class messageLabel;
}

// Colour of a message's title and dot. Other values are held and shown in the default colour.
enum TITLECOLOR_E : int {
    TITLE_COLOR_GREEN = 0,
    TITLE_COLOR_RED = 1,
    TITLE_COLOR_YELLOW = 2,
    TITLE_COLOR_BLUE = 3,
};

// One entry of the message panel.
struct MESSAGEINFO_S {
    QString m_szTitle;
    QString m_szContent;
    QString m_szDatetime;
    TITLECOLOR_E m_eTitleColor = TITLE_COLOR_GREEN;
};
Q_DECLARE_METATYPE(TITLECOLOR_E)
Q_DECLARE_METATYPE(MESSAGEINFO_S)

// One message card of the message panel.
class messageLabel : public QWidget {
    Q_OBJECT
public:
    explicit messageLabel(QWidget *parent = nullptr);
    ~messageLabel() override;

    // False for an unknown colour: the title text is set but not coloured.
    bool setMessageTitle(QString title, TITLECOLOR_E color);
    void setMessageDatetime(QString datetime);
    void setMessageContent(QString content);
    bool setMessageInfo(QString title, TITLECOLOR_E color, QString datetime, QString content);
    bool setMessageInfo(MESSAGEINFO_S info);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    Ui::messageLabel *ui;
};
