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
  for (const Placement& p : FPlacements) {
    if (p.How == Anchor::Left) left = std::min(left, p.DesignRect.left());
    if (p.How == Anchor::Right) rightStart = std::min(rightStart, p.DesignRect.left());
  }
  const int delta = width() - FDesignWidth;
  for (const Placement& p : FPlacements) {
    QRect r = p.DesignRect;
    if (p.How == Anchor::Right) {
      r.translate(wrap ? left - rightStart : delta, wrap ? FRowHeight : 0);
    }
    if (p.How == Anchor::Stretch) {
      r.setWidth(std::max(0, r.width() + delta));
      if (wrap) r.translate(0, FRowHeight);
    }
    p.Child->setGeometry(r);
  }
}

}  // namespace parvolane
