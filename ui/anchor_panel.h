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
  /// Below `width`, the right-anchored children move to a row of their own, `rowHeight` lower
  /// and starting where the left ones start; everything below them moves down with them.
  void SetWrap(int width, int rowHeight);
  bool Wrapped() const { return FWrapped; }

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
  int FHeight;
  int FWrapWidth = 0;
  int FRowHeight = 0;
  bool FWrapped = false;
  std::vector<Placement> FPlacements;
};

}  // namespace parvolane
