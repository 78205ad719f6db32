#include "ui/connection_list_frm.h"

#include <QEvent>
#include <QHideEvent>
#include <QShowEvent>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

#include "ui/window_font.h"

namespace trovanex {
namespace {

// Every line of the list is 12 pixels high.
class FixedHeightDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    return QSize(QStyledItemDelegate::sizeHint(option, index).width(), 12);
  }
};

}  // namespace

TConnectionListFrm::TConnectionListFrm(QWidget* parent)
    : QWidget(parent, Qt::Window), list_(new QListWidget(this)) {
  setWindowTitle("ConnectionListFrm");
  setFont(WindowFont());
  setGeometry(697, 223, 310, 199);

  list_->setObjectName("ConnectionList");
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setSortingEnabled(false);
  list_->setUniformItemSizes(true);
  list_->setItemDelegate(new FixedHeightDelegate(list_));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(list_);
}

void TConnectionListFrm::ShowConnections(const QStringList& entries) {
  list_->setUpdatesEnabled(false);
  list_->clear();
  list_->addItems(entries);
  list_->setUpdatesEnabled(true);
}

QStringList TConnectionListFrm::Shown() const {
  QStringList shown;
  for (int row = 0; row < list_->count(); ++row) shown << list_->item(row)->text();
  return shown;
}

bool TConnectionListFrm::event(QEvent* event) {
  if (event->type() == QEvent::WindowActivate) emit Activated();
  return QWidget::event(event);
}

void TConnectionListFrm::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (event->spontaneous()) return;
  emit VisibilityChanged(true);
  // Some desktops show a window without activating it; it must not show a stale list then.
  emit Activated();
}

void TConnectionListFrm::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  if (!isVisible()) emit VisibilityChanged(false);
}

}  // namespace trovanex
