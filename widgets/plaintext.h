#pragma once

#include <QString>

#include <initializer_list>

class QLabel;

// Names, versions, notes and messages come from servers and product files: a label left to
// guess would draw any markup in them (fake texts, pictures) on the operator's screen.
namespace PlainText {

// The labels show whatever they are given as the characters it holds.
void keepPlain(std::initializer_list<QLabel *> labels);

// A tool tip that shows text as it is (tool tips always guess, so the text goes in escaped);
// empty for an empty text, so that no tip appears.
QString toolTip(const QString &text);

} // namespace PlainText
