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

// Row by row, never emptied first: connections end anywhere in the list and new ones come at
// its end, so rows that are still wanted stay, the others go, and the new ones are added.
// Whatever the lists, the rows end equal to `entries`.
void TConnectionListFrm::ShowConnections(const QStringList& entries) {
  qsizetype kept = 0;  // entries[0, kept) are the first rows now
  for (int row = 0; row < list_->count();) {
    if (kept < entries.size() && list_->item(row)->text() == entries[kept]) {
      ++kept;
      ++row;
    } else {
      delete list_->takeItem(row);
    }
  }
  for (qsizetype i = kept; i < entries.size(); ++i) list_->addItem(entries[i]);
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
