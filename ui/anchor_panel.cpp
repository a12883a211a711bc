#include "ui/anchor_panel.h"

#include <algorithm>

namespace parvolane {

AnchorPanel::AnchorPanel(int designWidth, int height, QWidget* parent)
    : QWidget(parent), FDesignWidth(designWidth) {
  setFixedHeight(height);
}

void AnchorPanel::Place(QWidget* child, const QRect& designRect, Anchor anchor) {
  child->setParent(this);
  FPlacements.push_back({child, designRect, anchor});
  Arrange();
}

void AnchorPanel::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  Arrange();
}

void AnchorPanel::Arrange() {
  const int delta = width() - FDesignWidth;
  for (const Placement& p : FPlacements) {
    QRect r = p.DesignRect;
    if (p.How == Anchor::Right) r.translate(delta, 0);
    if (p.How == Anchor::Stretch) r.setWidth(std::max(0, r.width() + delta));
    p.Child->setGeometry(r);
  }
}

}  // namespace parvolane
