#include "plaintext.h"

#include <QLabel>
#include <QTextDocument>

namespace PlainText {

void keepPlain(std::initializer_list<QLabel *> labels) {
    for (QLabel *label : labels)
        label->setTextFormat(Qt::PlainText);
}

QString toolTip(const QString &text) {
    return text.isEmpty() ? QString() : Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal);
}

} // namespace PlainText
