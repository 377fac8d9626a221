// The input limits of the text fields of the configuration pages and the
// options window: numeric fields take only digits, a number above its limit is set
// back with a message, and a text takes no more bytes than its reader keeps.
#pragma once

#include <QObject>
#include <QString>

class QLineEdit;

// The key filter of a numeric field: the key code when it is a digit or a
// control key (code below 32: backspace, Enter, ...), else 0 after a beep.
int DigitsOnlyKeyFilter(int keyAscii);

// Makes `field` accept only what DigitsOnlyKeyFilter lets through. Text pasted
// or dropped into it keeps only its digits, so a field never holds something
// that would not save as a number.
void installDigitsOnly(QLineEdit* field);

// After each change: a text above `maximum` becomes `maximum`, after an error
// box with the catalogue text `messageNumber` (which names the field and says
// so). A stored value shown through showStoredText is left as it is until the
// user edits it.
void installUpperLimit(QLineEdit* field, qint64 maximum, int messageNumber);
// installUpperLimit with 65535.
void installPortLimit(QLineEdit* field, int messageNumber);

// Shows a stored value in `field` without the upper limit's message and
// correction: nobody typed it.
void showStoredText(QLineEdit* field, const QString& text);

// Lets the user type, paste or drop no more than `maxBytes` bytes of text in
// the ANSI code page; a second call changes the limit. A longer text that is
// set from the program stays as it is, and edits to it are taken until it
// fits (hasAcceptableInput tells whether it does).
void setTextLimit(QLineEdit* field, int maxBytes);
// The limit setTextLimit gave `field`; -1 when it has none.
int textLimitOf(const QLineEdit* field);

// After each change: a text above `maximum` becomes `maximum`, silently.
void installNumberLimit(QLineEdit* field, qint64 maximum);
