// The OK and Cancel buttons of the editing dialogs, side by side at the right: OK ("BtnOK") is
// the default button and runs the dialog's own check; Cancel ("BtnCancel"), like Esc, rejects.
#pragma once

#include <QDialog>
#include <QHBoxLayout>
#include <QPushButton>

namespace trovanex {

template <typename Dialog>
QHBoxLayout* OkCancelRow(Dialog* dialog, void (Dialog::*on_ok)()) {
  auto* ok = new QPushButton("&OK", dialog);
  ok->setObjectName("BtnOK");
  ok->setDefault(true);
  auto* cancel = new QPushButton("キャンセル(&C)", dialog);
  cancel->setObjectName("BtnCancel");
  QObject::connect(ok, &QPushButton::clicked, dialog, on_ok);
  QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);

  auto* row = new QHBoxLayout;
  row->addStretch();
  row->addWidget(ok);
  row->addWidget(cancel);
  return row;
}

}  // namespace trovanex
