#pragma once

#include <QAbstractSpinBox>
#include <cstdint>

namespace parvolane {

/// A whole-number field with up/down arrows. Unlike QSpinBox it lets the user type freely
/// (digits, signs and the locale's decimal separator) and only settles the value when the
/// field loses the focus: a number outside the limits becomes the nearest limit, and a text
/// that is no whole number (empty, or with a decimal separator) becomes the minimum.
class SpinField final : public QAbstractSpinBox {
  Q_OBJECT

 public:
  SpinField(int32_t minimum, int32_t maximum, int32_t value, QWidget* parent = nullptr);

  /// The text read as a whole number: the minimum when it is none, the nearest limit when it
  /// lies outside the limits. Never outside [Minimum(), Maximum()].
  int32_t Value() const;
  void SetValue(int32_t value);
  int32_t Minimum() const { return FMinimum; }
  int32_t Maximum() const { return FMaximum; }

  /// The reading rule on its own: the text as a whole number within the limits.
  static int32_t ReadWholeNumber(const QString& text, int32_t minimum, int32_t maximum);

  void stepBy(int steps) override;
  QValidator::State validate(QString& input, int& pos) const override;

 protected:
  StepEnabled stepEnabled() const override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  // Rewrites the text when it does not show the value it reads as.
  void Settle();

  int32_t FMinimum;
  int32_t FMaximum;
};

}  // namespace parvolane
