#pragma once

// The few pieces of look the window and the sheet share: font roles, the
// product's icon and the check mark, and an image drawn fitted to its space.

#include <QFont>
#include <QIcon>
#include <QWidget>

namespace marlinax::app {

// The title role: the desktop's font at 22/13 of its size, as a window title
// stands to body text on the desktops we copy the proportions from.
QFont titleFont(const QFont& body);
// The caption role: 10/13 of the body size.
QFont captionFont(const QFont& body);

// The installed theme icon "marlinax" when there is one, else the bundled one.
QIcon applicationIcon();
// A check mark in a circle: the theme's, else the bundled one.
QIcon checkmarkIcon();

// Draws an icon fitted into its rectangle with the aspect ratio kept, scaled
// about the centre by `scale` (0.75 draws it at three quarters of the fit).
class IconView : public QWidget {
 public:
  IconView(QIcon icon, qreal scale, QWidget* parent = nullptr);
  QSize sizeHint() const override { return {128, 128}; }
  QSize minimumSizeHint() const override { return {32, 32}; }
  // Where the icon is drawn, in widget coordinates.
  QRectF iconRect() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QIcon icon_;
  qreal scale_;
};

// A horizontal line between groups.
QWidget* makeDivider(QWidget* parent);

}  // namespace marlinax::app
