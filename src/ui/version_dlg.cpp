#include "ui/version_dlg.h"

#include <QPixmap>
#include <QPushButton>
#include <algorithm>

#include "engine/resources.h"
#include "ui/window_font.h"

namespace trovanex {

TVersionDlg::TVersionDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint), version_(new QLabel(this)) {
  setWindowTitle("バージョン情報");
  setFont(WindowFont());
  setGeometry(574, 385, 342, 147);
  setFixedSize(size());

  auto* image = new QLabel(this);
  image->setObjectName("Image1");
  image->setGeometry(24, 24, 49, 49);
  image->setAlignment(Qt::AlignCenter);
  QPixmap logo;
  if (const auto bytes = LookupResource("PNG", "TROVANEXLOGO"))
    logo.loadFromData(reinterpret_cast<const uchar*>(bytes->data()),
                      static_cast<uint>(bytes->size()), "PNG");
  if (!logo.isNull())
    image->setPixmap(logo.scaled(image->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));

  auto* name = new QLabel("Trovanex! ver.", this);
  name->move(160, 32);
  version_->setObjectName("labelVersion");
  // Where the font is wider than the one the layout was made for, the name would run into
  // the version.
  version_->move(std::max(232, name->x() + name->sizeHint().width() + 2), 32);

  auto* close = new QPushButton("OK", this);
  close->setObjectName("buttonClose");
  close->setGeometry(232, 104, 89, 33);
  close->setDefault(true);
  connect(close, &QPushButton::clicked, this, &QDialog::accept);
}

void TVersionDlg::showEvent(QShowEvent* event) {
  version_->setText(kProgramVersion);
  version_->adjustSize();
  QDialog::showEvent(event);
}

}  // namespace trovanex
