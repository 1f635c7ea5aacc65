#pragma once

#include <QList>
#include <QWidget>

class QVBoxLayout;
class messageLabel;
namespace Ui {
class messageBox;
}

// The drop-down message panel. It hides itself as soon as it loses the focus and says so.
class messageBox : public QWidget {
    Q_OBJECT
public:
    explicit messageBox(QWidget *parent = nullptr);
    ~messageBox() override;

    // Entries listed at the next show, in order. The panel takes them into its list area.
    QList<messageLabel *> m_listMessages;

signals:
    void signalWidgetHide();

protected:
    void showEvent(QShowEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void layoutMessages();

    Ui::messageBox *ui;
    QWidget *m_pListArea = nullptr;
    QVBoxLayout *m_pListLayout = nullptr;
};
