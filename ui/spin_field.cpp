#include "ui/spin_field.h"

#include <QLineEdit>
#include <QLocale>
#include <algorithm>

namespace parvolane {

namespace {

bool IsTypeable(QChar c, const QString& decimalSeparator) {
  return c.isDigit() || c == u'+' || c == u'-' || decimalSeparator.contains(c);
}

}  // namespace

SpinField::SpinField(int32_t minimum, int32_t maximum, int32_t value, QWidget* parent)
    : QAbstractSpinBox(parent), FMinimum(minimum), FMaximum(maximum) {
  SetValue(value);
  // The arrows' enabled state follows the text as it is typed.
  connect(lineEdit(), &QLineEdit::textChanged, this, [this] { update(); });
}

int32_t SpinField::ReadWholeNumber(const QString& text, int32_t minimum, int32_t maximum) {
  qsizetype i = 0;
  const bool negative = !text.isEmpty() && text[0] == u'-';
  if (!text.isEmpty() && (text[0] == u'+' || text[0] == u'-')) ++i;
  if (i == text.size()) return minimum;
  // Digits beyond what fits saturate: a long run of digits is still a whole number, just one
  // past a limit.
  int64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < u'0' || text[i] > u'9') return minimum;
    magnitude = std::min<int64_t>(magnitude * 10 + (text[i].unicode() - u'0'), INT64_C(1) << 40);
  }
  const int64_t number = negative ? -magnitude : magnitude;
  return static_cast<int32_t>(std::clamp<int64_t>(number, minimum, maximum));
}

int32_t SpinField::Value() const {
  return ReadWholeNumber(lineEdit()->text(), FMinimum, FMaximum);
}

void SpinField::SetValue(int32_t value) {
  lineEdit()->setText(QString::number(std::clamp(value, FMinimum, FMaximum)));
}

void SpinField::stepBy(int steps) {
  SetValue(static_cast<int32_t>(std::clamp<int64_t>(int64_t{Value()} + steps, FMinimum, FMaximum)));
  if (hasFocus()) selectAll();
}

QValidator::State SpinField::validate(QString& input, int& /*pos*/) const {
  const QString separator = locale().decimalPoint();
  for (const QChar c : input) {
    if (!IsTypeable(c, separator)) return QValidator::Invalid;
  }
  return QValidator::Acceptable;
}

QAbstractSpinBox::StepEnabled SpinField::stepEnabled() const {
  if (isReadOnly()) return StepNone;
  const int32_t value = Value();
  StepEnabled enabled = StepNone;
  if (value > FMinimum) enabled |= StepDownEnabled;
  if (value < FMaximum) enabled |= StepUpEnabled;
  return enabled;
}

void SpinField::focusOutEvent(QFocusEvent* event) {
  Settle();
  QAbstractSpinBox::focusOutEvent(event);
}

void SpinField::Settle() {
  // The field shows the number the scan will use, so a value outside the limits (or a text
  // that reads as the minimum) is never left on screen looking as if it applied.
  const QString settled = QString::number(Value());
  if (lineEdit()->text() != settled) lineEdit()->setText(settled);
}

}  // namespace parvolane
