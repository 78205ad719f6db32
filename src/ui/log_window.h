// The HTTP log window: the list `Log` of every line added while the window is visible, each
// drawn on the background colour of its connection's serial number. Hiding the window empties
// the list; lines that reach a hidden window are dropped. A window left open for days keeps
// the newest lines only (LogLineModel::kMaxLines), so its memory stays bounded.
#pragma once

#include <QAbstractListModel>
#include <QListView>
#include <QStringList>
#include <QStyledItemDelegate>
#include <QWidget>
#include <cstddef>
#include <deque>

namespace trovanex {

// Fills the line's rectangle with its colour and writes the text 2 pixels from the left, in
// the list's text colour (the selected-text colour when selected) on the same background.
void LogDrawItem(QPainter& painter, const QStyleOptionViewItem& option, const QString& text);

class LogLineModel : public QAbstractListModel {
  Q_OBJECT
 public:
  // About 20 MB of text at most; the oldest lines go first.
  static constexpr std::size_t kMaxLines = 200000;

  using QAbstractListModel::QAbstractListModel;
  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

  // One insertion for the whole block, so a burst costs one layout.
  void Append(const QStringList& lines);
  void Clear();

 private:
  std::deque<QString> lines_;
};

class LogLineDelegate : public QStyledItemDelegate {
  Q_OBJECT
 public:
  static constexpr int kItemHeight = 12;
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

class TLogWindow : public QWidget {
  Q_OBJECT
 public:
  explicit TLogWindow(QWidget* parent = nullptr);

  // Main thread. Appends the lines as one block while the window is visible, keeping the
  // newest line in view when the list was scrolled to its end.
  void AppendLines(const QStringList& lines);

  int LineCount() const { return model_->rowCount(); }
  QString LineAt(int row) const;

 signals:
  // Emitted when the window becomes visible (true) or hidden (false).
  void VisibilityChanged(bool visible);

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  QListView* log_;
  LogLineModel* model_;
};

}  // namespace trovanex
