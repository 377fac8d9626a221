#include "numeric_fields.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QValidator>

#include "Messages/Messages.h"
#include "ansi_text.h"
#include "dialogs.h"

namespace {

class DigitsOnlyFilter : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::KeyPress) {
      const QString text = static_cast<QKeyEvent*>(event)->text();
      // Keys without text (arrows, Delete, Home) are not typed characters.
      if (!text.isEmpty() && DigitsOnlyKeyFilter(text.at(0).unicode()) == 0) return true;
    }
    return QObject::eventFilter(watched, event);
  }
};

// Set on a field while a stored value is put into it.
constexpr char kShowingStored[] = "corvantelShowingStored";

class ByteLimit : public QValidator {
 public:
  ByteLimit(int maxBytes, QObject* parent) : QValidator(parent), maxBytes(maxBytes) {}

  State validate(QString& input, int& /*pos*/) const override {
    return toAnsi(input).size() <= static_cast<std::size_t>(maxBytes) ? Acceptable : Invalid;
  }

  int maxBytes;
};

// The value of a field's digits, saturated far above any limit used here.
qint64 valueOf(const QString& digits) {
  qint64 value = 0;
  for (QChar c : digits) {
    value = value * 10 + (c.unicode() - u'0');
    if (value > (qint64{1} << 40)) break;
  }
  return value;
}

}  // namespace

int DigitsOnlyKeyFilter(int keyAscii) {
  if ((keyAscii >= '0' && keyAscii <= '9') || (keyAscii >= 0 && keyAscii < 32)) return keyAscii;
  QApplication::beep();
  return 0;
}

void installDigitsOnly(QLineEdit* field) {
  field->installEventFilter(new DigitsOnlyFilter(field));
  QObject::connect(field, &QLineEdit::textChanged, field, [field](const QString& text) {
    QString digits;
    for (QChar c : text)
      if (c >= u'0' && c <= u'9') digits += c;
    if (digits != text) field->setText(digits);
  });
}

void installUpperLimit(QLineEdit* field, qint64 maximum, int messageNumber) {
  QObject::connect(
      field, &QLineEdit::textChanged, field, [field, maximum, messageNumber](const QString& text) {
        if (field->property(kShowingStored).toBool() || text.isEmpty() || valueOf(text) <= maximum) return;
        Dialogs::MsgBox(Messages::GetMessageText(messageNumber), Dialogs::Icon::Error, Dialogs::Buttons::Ok,
                        QString(), field->window());
        field->setText(QString::number(maximum));
      });
}

void installPortLimit(QLineEdit* field, int messageNumber) { installUpperLimit(field, 65535, messageNumber); }

void installNumberLimit(QLineEdit* field, qint64 maximum) {
  QObject::connect(field, &QLineEdit::textChanged, field, [field, maximum](const QString& text) {
    if (!text.isEmpty() && valueOf(text) > maximum) field->setText(QString::number(maximum));
  });
}

void showStoredText(QLineEdit* field, const QString& text) {
  field->setProperty(kShowingStored, true);
  field->setText(text);
  field->setProperty(kShowingStored, false);
}

void setTextLimit(QLineEdit* field, int maxBytes) {
  if (auto* limit = dynamic_cast<ByteLimit*>(const_cast<QValidator*>(field->validator())))
    limit->maxBytes = maxBytes;
  else
    field->setValidator(new ByteLimit(maxBytes, field));
}

int textLimitOf(const QLineEdit* field) {
  const auto* limit = dynamic_cast<const ByteLimit*>(field->validator());
  return limit != nullptr ? limit->maxBytes : -1;
}
