// The numeric text fields of the configuration pages and the options window:
// only digits can be typed, and a port above 65535 is set back with a message.
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

// After each change: a text above 65535 becomes "65535", after an error box
// with the catalogue text `messageNumber` (which says so).
void installPortLimit(QLineEdit* field, int messageNumber);

// After each change: a text above `maximum` becomes `maximum`, silently.
void installNumberLimit(QLineEdit* field, qint64 maximum);
