// The folder auto-renew window: a rule for renewing a save folder after a number of days,
// months or files, by a serial number or a date. The program keeps what is entered for the
// run only; nothing opens the window and nothing reads its values.
#pragma once

#include <QDialog>
#include <QLineEdit>
#include <QRadioButton>

namespace trovanex {

// The key filter of the three count boxes: digits 0 to 9 and backspace (code 8) pass.
bool PressKeyCheck(char32_t key);

class TOKBottomDlg1 : public QDialog {
  Q_OBJECT
 public:
  explicit TOKBottomDlg1(QWidget* parent = nullptr);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QLineEdit* AddCountBox(const char* name, int top);
};

}  // namespace trovanex
