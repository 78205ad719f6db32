#include "ui/auto_renew_dlg.h"

#include <QButtonGroup>
#include <QGridLayout>
#include <QGroupBox>
#include <QKeyEvent>

#include "ui/window_font.h"

namespace trovanex {

bool PressKeyCheck(char32_t key) {
  return (key >= U'0' && key <= U'9') || key == 8;
}

TOKBottomDlg1::TOKBottomDlg1(QWidget* parent) : QDialog(parent) {
  setWindowTitle("OKBottomDlg1");
  setFont(WindowFont());
  resize(313, 220);

  struct Row {
    const char* radio;
    const char* caption;
    const char* box;
  };
  const Row rows[] = {{"radioDays", "一定日数", "editDayCount"},
                      {"radioMonths", "一定月数", "editMonthCount"},
                      {"radioFiles", "一定ファイル数", "editFileCount"}};
  auto* choice = new QButtonGroup(this);
  int top = 16;
  for (const Row& row : rows) {
    auto* radio = new QRadioButton(row.caption, this);
    radio->setObjectName(row.radio);
    radio->setGeometry(16, top, 120, 20);
    choice->addButton(radio);
    AddCountBox(row.box, top);
    top += 32;
  }
  choice->buttons().first()->setChecked(true);

  auto* group = new QGroupBox("旧フォルダの名前に...", this);
  group->setObjectName("RadioGroup1");
  group->setGeometry(16, top + 8, 281, 57);
  auto* columns = new QGridLayout(group);
  const char* items[] = {"連番を付加する", "日付を付加する"};
  for (int column = 0; column < 2; ++column)
    columns->addWidget(new QRadioButton(items[column], group), 0, column);
}

QLineEdit* TOKBottomDlg1::AddCountBox(const char* name, int top) {
  auto* box = new QLineEdit(this);
  box->setObjectName(name);
  box->setGeometry(144, top, 81, 20);
  // Text composed by an input method would pass by the key filter.
  box->setAttribute(Qt::WA_InputMethodEnabled, false);
  box->installEventFilter(this);
  return box;
}

bool TOKBottomDlg1::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    const auto* key_event = static_cast<QKeyEvent*>(event);
    // Editing and dialog keys are no typed characters, though some carry a control code.
    switch (key_event->key()) {
      case Qt::Key_Delete:
      case Qt::Key_Escape:
      case Qt::Key_Return:
      case Qt::Key_Enter:
      case Qt::Key_Tab:
      case Qt::Key_Backtab:
        return QDialog::eventFilter(watched, event);
      default:
        break;
    }
    for (const char32_t key : key_event->text().toUcs4())
      if (!PressKeyCheck(key)) return true;
  }
  return QDialog::eventFilter(watched, event);
}

}  // namespace trovanex
