// Helpers for the window tests: act on a modal window once it shows, find named controls.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <functional>

namespace trovanex::testing {

// Runs `act` on the modal window of type W once it is shown; the returned watch may be deleted
// to stop waiting. A window of another type that stays up five seconds, or one that a failed
// check left open, is closed so that the test fails instead of hanging.
template <typename W>
QPointer<QTimer> WhenShown(std::function<void(W*)> act) {
  auto* timer = new QTimer;
  QElapsedTimer waited;
  waited.start();
  QObject::connect(timer, &QTimer::timeout, timer, [timer, waited, act] {
    QWidget* modal = QApplication::activeModalWidget();
    W* window = qobject_cast<W*>(modal);
    if (!window || !window->isVisible()) {
      if (waited.elapsed() < 5000) return;
      if (modal) modal->close();
    } else {
      timer->stop();  // `act` may open windows of its own
      act(window);
      if (QTest::currentTestFailed() && window->isVisible()) window->close();
    }
    timer->stop();
    timer->deleteLater();
  });
  timer->start(5);
  return timer;
}

template <typename T>
inline T* Child(QWidget* window, const char* name) {
  T* child = window->findChild<T*>(name);
  if (!child) qFatal("no control %s", name);
  return child;
}

// The visible message box that shows `text`, if any; boxes that are not modal are found too.
inline QMessageBox* VisibleMessageBox(const QString& text) {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<QMessageBox*>(widget);
    if (box && box->isVisible() && box->text() == text) return box;
  }
  return nullptr;
}

inline void Click(QWidget* window, const char* name) {
  Child<QAbstractButton>(window, name)->click();
}
}  // namespace trovanex::testing
