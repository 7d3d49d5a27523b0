#include "app/Style.h"

#include <QFrame>
#include <QPainter>

namespace marlinax::app {
namespace {

QFont scaled(const QFont& body, qreal factor, bool bold) {
  QFont font = body;
  if (body.pointSizeF() > 0)
    font.setPointSizeF(body.pointSizeF() * factor);
  else
    font.setPixelSize(qRound(body.pixelSize() * factor));
  font.setBold(bold);
  return font;
}

}  // namespace

QFont titleFont(const QFont& body) { return scaled(body, 22.0 / 13.0, false); }

QFont captionFont(const QFont& body) { return scaled(body, 10.0 / 13.0, false); }

QIcon applicationIcon() {
  return QIcon::fromTheme(QStringLiteral("marlinax"), QIcon(QStringLiteral(":/marlinax/icons/marlinax.svg")));
}

QIcon checkmarkIcon() {
  return QIcon::fromTheme(QStringLiteral("emblem-ok-symbolic"),
                          QIcon(QStringLiteral(":/marlinax/icons/checkmark-circle.svg")));
}

IconView::IconView(QIcon icon, qreal scale, QWidget* parent) : QWidget(parent), icon_(std::move(icon)), scale_(scale) {
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

QRectF IconView::iconRect() const {
  const qreal side = std::min(width(), height()) * scale_;
  return {(width() - side) / 2.0, (height() - side) / 2.0, side, side};
}

void IconView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  const QRect target = iconRect().toAlignedRect();
  icon_.paint(&painter, target, Qt::AlignCenter, isEnabled() ? QIcon::Normal : QIcon::Disabled);
}

QWidget* makeDivider(QWidget* parent) {
  auto* line = new QFrame(parent);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  return line;
}

}  // namespace marlinax::app
