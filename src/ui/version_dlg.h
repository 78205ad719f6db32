// The about box: the program's name, its version and its logo. However it is closed, the
// result is OK.
#pragma once

#include <QDialog>
#include <QLabel>

namespace trovanex {

inline constexpr char kProgramVersion[] = "0.16";

class TVersionDlg : public QDialog {
  Q_OBJECT
 public:
  explicit TVersionDlg(QWidget* parent = nullptr);

  void reject() override { accept(); }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  QLabel* version_;
};

}  // namespace trovanex
