// The window that lists the connections being handled now. The list itself lives in the core
// (ConnectionList); this window shows the copies it is given, and asks for a fresh one when it
// becomes active, since the list kept changing while the window was hidden.
#pragma once

#include <QListWidget>
#include <QStringList>
#include <QWidget>

namespace trovanex {

class TConnectionListFrm : public QWidget {
  Q_OBJECT
 public:
  explicit TConnectionListFrm(QWidget* parent = nullptr);

  // Main thread: makes `ConnectionList` show `entries`, changing only the rows that differ.
  void ShowConnections(const QStringList& entries);
  QStringList Shown() const;

 signals:
  // The window became active (or was shown): the current list should be copied in.
  void Activated();
  void VisibilityChanged(bool visible);

 protected:
  bool event(QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  QListWidget* list_;
};

}  // namespace trovanex
