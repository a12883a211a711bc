#pragma once

#include <QRect>
#include <QWidget>
#include <vector>

namespace parvolane {

/// A panel whose children sit at fixed pixel positions laid out for one design width. When the
/// panel is wider or narrower, right-anchored children move by the difference and stretching
/// children grow or shrink by it; the others stay where they are.
class AnchorPanel final : public QWidget {
  Q_OBJECT

 public:
  enum class Anchor { Left, Right, Stretch };

  AnchorPanel(int designWidth, int height, QWidget* parent = nullptr);

  /// Places `child` (made a child of this panel) at `designRect`.
  void Place(QWidget* child, const QRect& designRect, Anchor anchor);

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  struct Placement {
    QWidget* Child;
    QRect DesignRect;
    Anchor How;
  };

  void Arrange();

  int FDesignWidth;
  std::vector<Placement> FPlacements;
};

}  // namespace parvolane
