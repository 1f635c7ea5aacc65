#pragma once

#include <QTimer>
#include <QWidget>

namespace Ui {
class popTextWidget;
}

// A toast: white text on a dark translucent strip that closes itself after its display time.
class popTextWidget : public QWidget {
    Q_OBJECT
public:
    explicit popTextWidget(QWidget *parent = nullptr);
    ~popTextWidget() override;

    void setLabelText(QString text);
    void setShowTimes(int milliseconds);

    // A message as the toast shows it: a line break ("\r\n") after every lineLength characters
    // and none after the last one, so a message of exactly lineLength characters is one line.
    // lines (if given) gets the number of lines, at least one.
    static QString breakLines(const QString &message, int lineLength, int *lines = nullptr);

    // false where the window system cannot blend windows: an opaque strip, and nothing of the
    // window drawn around it.
    void setTranslucentLook(bool bTranslucent);

public slots:
    void slotCloseEvent();

protected:
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void restartCloseTimer();
    void updateMask();

    Ui::popTextWidget *ui;
    int m_iShowTimes = 2000;
    QTimer m_timerClose;
    bool m_bTranslucentLook = true;
    QString m_szStripStyle;
};
