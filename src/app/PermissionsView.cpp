#include "app/PermissionsView.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QStyle>
#include <QVBoxLayout>

#include "app/Style.h"

namespace marlinax::app {

namespace {

std::size_t indexOf(Permission permission) { return permission == Permission::screenRecording ? 0 : 1; }

}  // namespace

PermissionsView::PermissionsView(ContentViewState& state, QWidget* parent)
    : QDialog(parent, Qt::Dialog), state_(state) {
  setWindowTitle(tr("Permissions"));
  setModal(false);

  auto* column = new QVBoxLayout(this);
  column->setSpacing(12);
  column->setContentsMargins(20, 20, 20, 20 + 24);
  // The sheet keeps its ideal size.
  column->setSizeConstraint(QLayout::SetFixedSize);

  auto* header = new QHBoxLayout();
  header->setSpacing(20);
  auto* icon = new IconView(applicationIcon(), 0.65, this);
  icon->setFixedSize(128, 128);
  header->addWidget(icon);
  auto* textGroup = new QWidget(this);
  auto* texts = new QVBoxLayout(textGroup);
  texts->setContentsMargins(0, 0, 0, 0);
  texts->setSpacing(8);
  auto* welcome = new QLabel(tr("Welcome to Marlinax Server."), this);
  welcome->setFont(titleFont(font()));
  texts->addWidget(welcome, 0, Qt::AlignLeft);
  texts->addWidget(
      new QLabel(tr("This app allows casting and controlling all your computer's displays with the Apple Vision Pro."),
                 this),
      0, Qt::AlignLeft);
  texts->addWidget(new QLabel(tr("Marlinax Server requires certain permissions to work properly."), this), 0,
                   Qt::AlignLeft);
  header->addWidget(textGroup, 0, Qt::AlignVCenter);
  column->addLayout(header);
  column->addWidget(makeDivider(this));

  auto* formRow = new QHBoxLayout();
  formRow->addSpacing(100);
  auto* form = new QFormLayout();
  QPalette secondary = palette();
  secondary.setColor(QPalette::WindowText, palette().color(QPalette::PlaceholderText));
  const int margin = style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, this);
  for (Permission permission : allPermissions) {
    auto* content = new QWidget(this);
    auto* contentColumn = new QVBoxLayout(content);
    contentColumn->setContentsMargins(4, 4, 4, 4);
    Row& row = rows_[indexOf(permission)];
    row.status = new QPushButton(content);
    row.status->setFixedWidth(200 + 2 * margin);
    row.status->setAutoDefault(false);
    contentColumn->addWidget(row.status, 0, Qt::AlignLeft);
    row.description = new QLabel(PermissionText::description(permission), content);
    row.description->setFont(captionFont(font()));
    row.description->setPalette(secondary);
    row.description->setWordWrap(true);
    row.description->setFixedWidth(380);
    contentColumn->addWidget(row.description, 0, Qt::AlignLeft);
    form->addRow(PermissionText::title(permission), content);
    connect(row.status, &QPushButton::clicked, this, [this, permission] { state_.requestPermission(permission); });
  }
  formRow->addLayout(form);
  column->addLayout(formRow);
  column->addWidget(makeDivider(this));

  auto* bottom = new QHBoxLayout();
  bottom->addStretch(1);
  closeButton_ = new QPushButton(tr("Close"), this);
  closeButton_->setMinimumWidth(48 + 2 * margin);
  closeButton_->setDefault(true);
  bottom->addWidget(closeButton_);
  column->addLayout(bottom);
  connect(closeButton_, &QPushButton::clicked, this, [this] { state_.closePermissions(); });

  connect(&state_, &ContentViewState::permissionsRefreshed, this, &PermissionsView::renderRows);
  renderRows();
}

QPushButton* PermissionsView::statusButton(Permission permission) const { return rows_[indexOf(permission)].status; }

QLabel* PermissionsView::descriptionLabel(Permission permission) const {
  return rows_[indexOf(permission)].description;
}

void PermissionsView::renderRows() {
  const QSize iconSize(16, 16);
  for (Permission permission : allPermissions) {
    QPushButton* status = rows_[indexOf(permission)].status;
    if (state_.isGranted(permission)) {
      // The check mark keeps its colours on the disabled button.
      const QPixmap mark = checkmarkIcon().pixmap(iconSize, devicePixelRatio());
      QIcon icon(mark);
      icon.addPixmap(mark, QIcon::Disabled);
      status->setIcon(icon);
      status->setText(tr("Enabled."));
      status->setEnabled(false);
    } else {
      status->setIcon({});
      status->setText(tr("Open Settings"));
      status->setEnabled(true);
    }
  }
}

void PermissionsView::render() {
  const bool wanted = state_.askForPermissions() && !state_.shutDown();
  // Shown over the main window only once that is on screen.
  if (wanted && parentWidget() && parentWidget()->isVisible() && !isVisible()) {
    renderRows();
    show();
    raise();
  } else if (!wanted && isVisible()) {
    hide();
  }
}

void PermissionsView::reject() {
  state_.closePermissions();
  QDialog::reject();
}

}  // namespace marlinax::app
