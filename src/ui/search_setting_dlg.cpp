#include "ui/search_setting_dlg.h"

#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "ui/ok_cancel_row.h"
#include "ui/window_font.h"

namespace trovanex {
namespace {

QString ToQ(const std::string& text) {
  return QString::fromStdString(text);
}

template <typename Widget>
Widget* Named(Widget* widget, const char* name) {
  widget->setObjectName(name);
  return widget;
}

}  // namespace

TSearchSettingDlg::TSearchSettingDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint) {
  setWindowTitle("ダイアログ");
  setFont(WindowFont());
  CreateControls();

  connect(radioNotSelectFolder_, &QRadioButton::clicked, this,
          &TSearchSettingDlg::SelectFolderRadioButtonClick);
  connect(radioSelectFolder_, &QRadioButton::clicked, this,
          &TSearchSettingDlg::SelectFolderRadioButtonClick);
  connect(gridFolderList_, &QTableWidget::currentCellChanged, this,
          [this](int row) { GridFolderListSelectCell(row); });
  connect(gridFolderList_, &QTableWidget::cellClicked, this,
          [this](int row) { GridFolderListSelectCell(row); });
  connect(buttonFolderAdd_, &QPushButton::clicked, this, &TSearchSettingDlg::ButtonFolderAddClick);
  connect(buttonFolderEdit_, &QPushButton::clicked, this,
          &TSearchSettingDlg::ButtonFolderEditClick);
  connect(buttonFolderDelete_, &QPushButton::clicked, this,
          &TSearchSettingDlg::ButtonFolderDeleteClick);
  connect(buttonReferenceFolderNS_, &QPushButton::clicked, this,
          [this] { ChooseFolderInto(textSaveFolder_); });
  connect(buttonReferenceFolderSF_, &QPushButton::clicked, this,
          [this] { ChooseFolderInto(textAddingFolder_); });
}

void TSearchSettingDlg::CreateControls() {
  textSettingName_ = Named(new QLineEdit(this), "textSettingName");
  textSearchText_ = Named(new QLineEdit(this), "textSearchText");
  auto* texts = new QGridLayout;
  texts->addWidget(new QLabel("名前: ", this), 0, 0);
  texts->addWidget(textSettingName_, 0, 1);
  texts->addWidget(new QLabel("一致条件: ", this), 1, 0);
  texts->addWidget(textSearchText_, 1, 1);

  auto* type_box = Named(new QGroupBox("検索形式", this), "radioSearchType");
  auto* type_columns = new QGridLayout(type_box);
  searchType_ = new QButtonGroup(this);
  const char* type_items[] = {"通常検索", "正規表現"};
  for (int id = 0; id < 2; ++id) {
    auto* item = new QRadioButton(type_items[id], type_box);
    searchType_->addButton(item, id);
    type_columns->addWidget(item, 0, id);
  }
  searchType_->button(0)->setChecked(true);

  auto* folders = new QGroupBox("保存するフォルダ", this);
  radioNotSelectFolder_ = Named(new QRadioButton("単独フォルダ", folders), "radioNotSelectFolder");
  textSaveFolder_ = Named(new QLineEdit(folders), "textSaveFolder");
  buttonReferenceFolderNS_ = Named(new QPushButton("参照(&R)", folders), "buttonReferenceFolderNS");
  checkSaveCheck_ = Named(new QCheckBox("保存するときに確認する", folders), "checkSaveCheck");
  radioSelectFolder_ = Named(new QRadioButton("複数から選択...", folders), "radioSelectFolder");
  auto* folder_mode = new QButtonGroup(this);
  folder_mode->addButton(radioNotSelectFolder_);
  folder_mode->addButton(radioSelectFolder_);
  radioNotSelectFolder_->setChecked(true);

  gridFolderList_ = Named(new QTableWidget(1, 2, folders), "gridFolderList");
  gridFolderList_->verticalHeader()->hide();
  // A slim header without captions, only to let the user drag the column border.
  gridFolderList_->setHorizontalHeaderLabels({QString(), QString()});
  gridFolderList_->horizontalHeader()->setFixedHeight(6);
  gridFolderList_->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  gridFolderList_->setColumnWidth(0, 110);
  gridFolderList_->horizontalHeader()->setStretchLastSection(true);
  gridFolderList_->setSelectionBehavior(QAbstractItemView::SelectRows);
  gridFolderList_->setSelectionMode(QAbstractItemView::SingleSelection);
  gridFolderList_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  gridFolderList_->setMinimumHeight(110);

  textFolderName_ = Named(new QLineEdit(folders), "textFolderName");
  textAddingFolder_ = Named(new QLineEdit(folders), "textAddingFolder");
  buttonReferenceFolderSF_ = Named(new QPushButton("参照(&R)", folders), "buttonReferenceFolderSF");
  buttonFolderAdd_ = Named(new QPushButton("追加(&A)", folders), "buttonFolderAdd");
  buttonFolderEdit_ = Named(new QPushButton("編集(&E)", folders), "buttonFolderEdit");
  buttonFolderDelete_ = Named(new QPushButton("削除(&D)", folders), "buttonFolderDelete");

  auto* folder_grid = new QGridLayout(folders);
  folder_grid->addWidget(radioNotSelectFolder_, 0, 0);
  folder_grid->addWidget(textSaveFolder_, 0, 1);
  folder_grid->addWidget(buttonReferenceFolderNS_, 0, 2);
  folder_grid->addWidget(checkSaveCheck_, 1, 1, 1, 2);
  folder_grid->addWidget(radioSelectFolder_, 2, 0, 1, 3);
  folder_grid->addWidget(gridFolderList_, 3, 0, 1, 3);
  folder_grid->addWidget(new QLabel("保存箇所の名前", folders), 4, 0);
  folder_grid->addWidget(textFolderName_, 4, 1);
  folder_grid->addWidget(new QLabel("保存フォルダ", folders), 5, 0);
  folder_grid->addWidget(textAddingFolder_, 5, 1);
  folder_grid->addWidget(buttonReferenceFolderSF_, 5, 2);
  auto* folder_buttons = new QHBoxLayout;
  folder_buttons->addStretch();
  folder_buttons->addWidget(buttonFolderAdd_);
  folder_buttons->addWidget(buttonFolderEdit_);
  folder_buttons->addWidget(buttonFolderDelete_);
  folder_grid->addLayout(folder_buttons, 6, 0, 1, 3);
  folder_grid->setColumnMinimumWidth(1, 260);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(texts);
  layout->addWidget(type_box);
  layout->addWidget(folders);
  layout->addLayout(OkCancelRow(this, &TSearchSettingDlg::BtnOKClick));
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

std::unique_ptr<TSearchCondition> TSearchSettingDlg::EditNewCondition() {
  // Everything but the name stays as the last use left it, the enabled controls included.
  auto condition = std::make_unique<TSearchCondition>();
  textSettingName_->clear();
  editing_.emplace(*condition);
  if (!Run()) return nullptr;
  return condition;
}

TSearchCondition* TSearchSettingDlg::EditCondition(TSearchCondition& existing) {
  textSettingName_->setText(ToQ(existing.Name));
  textSearchText_->setText(ToQ(existing.SearchString()));
  searchType_->button(existing.Type() == TSearchType::Standard ? 0 : 1)->setChecked(true);
  if (existing.ExecType == TExecType::Save || existing.ExecType == TExecType::SaveAsk) {
    const TSaveFolderListItem* first = existing.FirstFolder();
    textSaveFolder_->setText(first ? ToQ(first->Path) : QString());
    radioNotSelectFolder_->setChecked(true);
    checkSaveCheck_->setChecked(existing.ExecType == TExecType::SaveAsk);
  } else {
    radioSelectFolder_->setChecked(true);
  }
  editing_.emplace(existing);
  SelectFolderRadioButtonClick();
  return Run() ? &existing : nullptr;
}

bool TSearchSettingDlg::Run() {
  RefreshFolderGrid();
  const bool confirmed = exec() == QDialog::Accepted;
  editing_.reset();
  return confirmed;
}

void TSearchSettingDlg::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (const QScreen* shown_on = screen()) {
    QRect frame = frameGeometry();
    frame.moveCenter(shown_on->availableGeometry().center());
    move(frame.topLeft());
  }
}

void TSearchSettingDlg::SelectFolderRadioButtonClick() {
  const bool single = SingleFolder();
  if (editing_) editing_->SelectFolderMode(single, checkSaveCheck_->isChecked());
  for (QWidget* control :
       {static_cast<QWidget*>(textSaveFolder_), static_cast<QWidget*>(buttonReferenceFolderNS_),
        static_cast<QWidget*>(checkSaveCheck_)})
    control->setEnabled(single);
  for (QWidget* control :
       {static_cast<QWidget*>(gridFolderList_), static_cast<QWidget*>(textFolderName_),
        static_cast<QWidget*>(textAddingFolder_), static_cast<QWidget*>(buttonReferenceFolderSF_),
        static_cast<QWidget*>(buttonFolderAdd_), static_cast<QWidget*>(buttonFolderEdit_),
        static_cast<QWidget*>(buttonFolderDelete_)})
    control->setEnabled(!single);
}

void TSearchSettingDlg::RefreshFolderGrid() {
  if (!editing_) return;
  const std::vector<FolderRow>& rows = editing_->Rows();
  const QSignalBlocker quiet(gridFolderList_);
  gridFolderList_->clearContents();
  // The grid always has a row, an empty one when it shows no folder.
  gridFolderList_->setRowCount(rows.empty() ? 1 : static_cast<int>(rows.size()));
  for (int row = 0; row < static_cast<int>(rows.size()); ++row) {
    const FolderRow& folder = rows[static_cast<std::size_t>(row)];
    gridFolderList_->setItem(row, 0, new QTableWidgetItem(ToQ(folder.name)));
    gridFolderList_->setItem(row, 1, new QTableWidgetItem(ToQ(folder.path)));
  }
  gridFolderList_->setCurrentCell(0, 0);
}

void TSearchSettingDlg::GridFolderListSelectCell(int row) {
  if (!editing_ || row < 0) return;
  const std::vector<FolderRow>& rows = editing_->Rows();
  if (static_cast<std::size_t>(row) >= rows.size()) return;
  textFolderName_->setText(ToQ(rows[static_cast<std::size_t>(row)].name));
  textAddingFolder_->setText(ToQ(rows[static_cast<std::size_t>(row)].path));
}

void TSearchSettingDlg::ButtonFolderAddClick() {
  if (!editing_) return;
  RefuseOrRefresh(editing_->AddFolder(CurrentRow(), textFolderName_->text().toStdString(),
                                      textAddingFolder_->text().toStdString()));
}

void TSearchSettingDlg::ButtonFolderEditClick() {
  if (!editing_) return;
  RefuseOrRefresh(editing_->EditFolder(CurrentRow(), textFolderName_->text().toStdString(),
                                       textAddingFolder_->text().toStdString()));
}

void TSearchSettingDlg::RefuseOrRefresh(const std::optional<std::string>& refusal) {
  if (refusal) {
    QMessageBox::warning(this, "trovanex", ToQ(*refusal));
    return;
  }
  RefreshFolderGrid();
}

void TSearchSettingDlg::ButtonFolderDeleteClick() {
  if (!editing_) return;
  editing_->DeleteFolder(CurrentRow());
  RefreshFolderGrid();
}

void TSearchSettingDlg::ChooseFolderInto(QLineEdit* box) {
  const QString folder = QFileDialog::getExistingDirectory(
      this, "リストに追加するフォルダの選択...", QDir::rootPath(), QFileDialog::ShowDirsOnly);
  if (!folder.isEmpty()) box->setText(QDir::toNativeSeparators(folder));
}

void TSearchSettingDlg::BtnOKClick() {
  if (!editing_) return;
  ConditionFields fields;
  fields.name = textSettingName_->text().toStdString();
  fields.search_string = textSearchText_->text().toStdString();
  fields.type = searchType_->checkedId() == 1 ? TSearchType::Regexp : TSearchType::Standard;
  fields.single_folder = SingleFolder();
  fields.confirm_save = checkSaveCheck_->isChecked();
  fields.single_folder_path = textSaveFolder_->text().toStdString();
  if (const std::optional<std::string> refusal = editing_->Confirm(fields)) {
    QMessageBox::warning(this, "trovanex", ToQ(*refusal));
    (fields.single_folder ? textSaveFolder_ : textFolderName_)->setFocus();
    return;
  }
  accept();
}

}  // namespace trovanex
