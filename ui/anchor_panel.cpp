#include "ui/anchor_panel.h"

#include <algorithm>
#include <climits>

namespace parvolane {

AnchorPanel::AnchorPanel(int designWidth, int height, QWidget* parent)
    : QWidget(parent), FDesignWidth(designWidth), FHeight(height) {
  setFixedHeight(height);
}

void AnchorPanel::Place(QWidget* child, const QRect& designRect, Anchor anchor) {
  child->setParent(this);
  FPlacements.push_back({child, designRect, anchor});
  Arrange();
}

void AnchorPanel::SetWrap(int width, int rowHeight) {
  FWrapWidth = width;
  FRowHeight = rowHeight;
  Arrange();
}

void AnchorPanel::SetSqueeze(int left) {
  FSqueezeLeft = left;
  Arrange();
}

int AnchorPanel::RightX(int designX, int rightStart, int rightEnd) const {
  const int delta = width() - FDesignWidth;
  if (FSqueezeLeft <= 0 || rightStart + delta >= FSqueezeLeft || rightEnd <= rightStart)
    return designX + delta;
  const int room = width() - (FDesignWidth - rightEnd) - FSqueezeLeft;
  return FSqueezeLeft + (designX - rightStart) * std::max(room, 0) / (rightEnd - rightStart);
}

void AnchorPanel::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  Arrange();
}

void AnchorPanel::Arrange() {
  const bool wrap = width() < FWrapWidth;
  if (wrap != FWrapped) {
    FWrapped = wrap;
    setFixedHeight(FHeight + (wrap ? FRowHeight : 0));
  }
  int left = INT_MAX;
  int rightStart = INT_MAX;
  int rightEnd = 0;
  for (const Placement& p : FPlacements) {
    if (p.How == Anchor::Left) left = std::min(left, p.DesignRect.left());
    if (p.How != Anchor::Right) continue;
    rightStart = std::min(rightStart, p.DesignRect.left());
    rightEnd = std::max(rightEnd, p.DesignRect.left() + p.DesignRect.width());
  }
  const int delta = width() - FDesignWidth;
  const int rightShift =
      rightStart == INT_MAX ? delta : RightX(rightStart, rightStart, rightEnd) - rightStart;
  for (const Placement& p : FPlacements) {
    QRect r = p.DesignRect;
    if (p.How == Anchor::Right) {
      if (wrap)
        r.translate(left - rightStart, FRowHeight);
      else
        r.moveLeft(RightX(r.left(), rightStart, rightEnd));
    }
    if (p.How == Anchor::Stretch) {
      // Only what lies left of the right-anchored group shares its squeeze.
      const int grow = r.left() + r.width() <= rightStart ? rightShift : delta;
      r.setWidth(std::max(0, r.width() + grow));
      if (wrap) r.translate(0, FRowHeight);
    }
    p.Child->setGeometry(r);
  }
}

}  // namespace parvolane
