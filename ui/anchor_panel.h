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
  /// When moving by the width lost would take the right-anchored children left of `left`,
  /// they start at `left` instead and the gaps between them shrink in proportion; children
  /// stretching to their left give up only the room that was actually taken.
  void SetSqueeze(int left);

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  struct Placement {
    QWidget* Child;
    QRect DesignRect;
    Anchor How;
  };

  void Arrange();
  // Where a right-anchored child's left edge goes at the current width.
  int RightX(int designX, int rightStart, int rightEnd) const;

  int FDesignWidth;
  int FHeight;
  int FWrapWidth = 0;
  int FRowHeight = 0;
  bool FWrapped = false;
  int FSqueezeLeft = 0;
  std::vector<Placement> FPlacements;
};

}  // namespace parvolane
