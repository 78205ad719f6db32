#include "ui/log_window.h"

#include <QHideEvent>
#include <QPainter>
#include <QScrollBar>
#include <QShowEvent>
#include <QVBoxLayout>
#include <algorithm>

#include "monitor/log_colors.h"
#include "ui/window_font.h"

namespace trovanex {

void LogDrawItem(QPainter& painter, const QStyleOptionViewItem& option, const QString& text) {
  const LogColor colour = LogLineColor(text.toStdString());
  const QColor background(colour.red, colour.green, colour.blue);
  const QRect rect = option.rect;
  painter.save();
  painter.fillRect(rect, background);
  const bool selected = option.state & QStyle::State_Selected;
  painter.setPen(option.palette.color(selected ? QPalette::HighlightedText : QPalette::Text));
  painter.setFont(option.font);
  painter.drawText(rect.adjusted(2, 0, 0, 0), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                   text);
  painter.restore();
}

int LogLineModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(lines_.size());
}

QVariant LogLineModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount() || role != Qt::DisplayRole) return {};
  return lines_[static_cast<std::size_t>(index.row())];
}

void LogLineModel::Append(const QStringList& lines) {
  if (lines.isEmpty()) return;
  const int first = rowCount();
  beginInsertRows(QModelIndex(), first, first + static_cast<int>(lines.size()) - 1);
  lines_.insert(lines_.end(), lines.begin(), lines.end());
  endInsertRows();
  if (lines_.size() > kMaxLines) {
    // The oldest lines go, a tenth of the limit more than needed so that this happens once in
    // a while, not at every block.
    const std::size_t drop = std::min(lines_.size(), lines_.size() - kMaxLines + kMaxLines / 10);
    beginRemoveRows(QModelIndex(), 0, static_cast<int>(drop) - 1);
    lines_.erase(lines_.begin(), lines_.begin() + static_cast<std::ptrdiff_t>(drop));
    endRemoveRows();
  }
}

void LogLineModel::Clear() {
  beginResetModel();
  std::deque<QString>().swap(lines_);  // a long session's log gives its memory back when hidden
  endResetModel();
}

void LogLineDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const {
  LogDrawItem(*painter, option, index.data().toString());
}

QSize LogLineDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
  return QSize(option.rect.width(), kItemHeight);
}

TLogWindow::TLogWindow(QWidget* parent)
    : QWidget(parent, Qt::Window), log_(new QListView(this)), model_(new LogLineModel(this)) {
  setWindowTitle("LogWindow");
  setFont(WindowFont());
  setGeometry(663, 230, 361, 350);

  log_->setObjectName("Log");
  log_->setModel(model_);
  log_->setItemDelegate(new LogLineDelegate(log_));
  log_->setUniformItemSizes(true);
  log_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  log_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(log_);
}

void TLogWindow::AppendLines(const QStringList& lines) {
  // Lines handed over just before the window was hidden arrive after it; they are not kept.
  if (!isVisible() || lines.isEmpty()) return;
  QScrollBar* bar = log_->verticalScrollBar();
  const bool following = bar->value() == bar->maximum();
  log_->setUpdatesEnabled(false);
  model_->Append(lines);
  if (following) log_->scrollToBottom();
  log_->setUpdatesEnabled(true);
}

QString TLogWindow::LineAt(int row) const {
  return model_->data(model_->index(row)).toString();
}

void TLogWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!event->spontaneous()) emit VisibilityChanged(true);
}

void TLogWindow::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  // Minimising also sends a hide event; the window still counts as visible then.
  if (isVisible()) return;
  emit VisibilityChanged(false);
  model_->Clear();
}

}  // namespace trovanex
