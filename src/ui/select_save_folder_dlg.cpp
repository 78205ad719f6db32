#include "ui/select_save_folder_dlg.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QMessageBox>
#include <filesystem>
#include <system_error>

#include "model/condition_editing.h"
#include "ui/window_font.h"

namespace trovanex {
namespace {

// The folder dialog behind "新しくフォルダを作る...": a typed folder that does not exist yet is
// made, and then chosen, since the choice is where a new folder comes from. The toolkit's own
// dialog would refuse it as not found.
class NewFolderDialog : public QFileDialog {
 public:
  NewFolderDialog(QWidget* parent, const QString& start) : QFileDialog(parent, QString(), start) {
    setFileMode(QFileDialog::Directory);
    // Its own dialog on every desktop, so that accept() below is the one that runs.
    setOptions(QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
  }

  void accept() override {
    const QStringList chosen = selectedFiles();
    if (chosen.size() == 1 && !QFileInfo::exists(chosen.front())) {
      std::error_code error;
      std::filesystem::create_directories(QFile::encodeName(chosen.front()).toStdString(), error);
      if (error) {
        QMessageBox::warning(this, "trovanex",
                             QString("フォルダ「%1」を作れません: %2")
                                 .arg(QDir::toNativeSeparators(chosen.front()),
                                      QString::fromStdString(error.message())));
        return;
      }
    }
    QFileDialog::accept();
  }
};

}  // namespace

QStringList FolderListLines(const TSearchCondition& condition) {
  QStringList lines;
  for (const TSaveFolderListItem* item = condition.FirstFolder(); item; item = item->NextItem())
    lines << QString::fromStdString(item->Name);
  return lines;
}

const TSaveFolderListItem* FolderForLine(const TSearchCondition& condition,
                                         std::optional<std::size_t> row) {
  const TSaveFolderListItem* item = condition.FirstFolder();
  for (std::size_t step = 0; item && step < row.value_or(0); ++step) item = item->NextItem();
  return item;
}

TSelectSaveFolderDlg::TSelectSaveFolderDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                          Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::WindowStaysOnTopHint),
      listFolderList_(new QListWidget(this)) {
  setWindowTitle("SelectSaveFolderDlg");
  setFont(WindowFont());
  resize(296, 222);
  setFixedSize(size());

  auto* label = new QLabel("どのフォルダに保存しますか？", this);
  label->setObjectName("Label1");
  label->move(8, 8);

  listFolderList_->setObjectName("listFolderList");
  listFolderList_->setGeometry(8, 28, 280, 121);
  listFolderList_->setSelectionMode(QAbstractItemView::SingleSelection);

  auto* create_new = new QPushButton("新しくフォルダを作る...", this);
  create_new->setObjectName("buttonCreateNew");
  create_new->setGeometry(8, 156, 161, 25);
  create_new->setAutoDefault(false);
  connect(create_new, &QPushButton::clicked, this, &TSelectSaveFolderDlg::buttonCreateNewClick);

  auto* ok = new QPushButton("保存(&S)", this);
  ok->setObjectName("buttonOk");
  ok->setGeometry(104, 189, 89, 25);
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &TSelectSaveFolderDlg::buttonOkClick);

  // Esc and the close box end the dialog through reject() as well.
  auto* cancel = new QPushButton("保存しない(&C)", this);
  cancel->setObjectName("buttonCancel");
  cancel->setGeometry(199, 189, 89, 25);
  cancel->setAutoDefault(false);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

FolderChoice TSelectSaveFolderDlg::Choose(const SaveRequest& request) {
  condition_ = request.Condition.get();
  choice_ = FolderChoice{};
  FillFolderList();
  // An event loop ended from outside (the program quitting) leaves the result at Rejected.
  setResult(QDialog::Rejected);
  // Waits here like a modal dialog, without being one: a modal window would hold back the save
  // questions of other connections until this one is answered.
  QEventLoop answered;
  connect(this, &QDialog::finished, &answered, &QEventLoop::quit);
  show();
  answered.exec();
  const bool saved = result() == QDialog::Accepted;
  hide();
  condition_ = nullptr;
  return saved ? choice_ : FolderChoice{};
}

void TSelectSaveFolderDlg::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // The desktop decides how far a window may push itself forward; this asks for all of it.
  raise();
  activateWindow();
}

void TSelectSaveFolderDlg::FillFolderList() {
  listFolderList_->clear();
  if (condition_) listFolderList_->addItems(FolderListLines(*condition_));
  listFolderList_->clearSelection();
  listFolderList_->setCurrentRow(-1);
}

std::optional<std::size_t> TSelectSaveFolderDlg::SelectedLine() const {
  // The current line is not a choice: the list takes one on focus without selecting it.
  const QModelIndexList selected = listFolderList_->selectionModel()->selectedIndexes();
  if (selected.isEmpty()) return std::nullopt;
  return static_cast<std::size_t>(selected.front().row());
}

void TSelectSaveFolderDlg::buttonOkClick() {
  const std::optional<std::size_t> line = SelectedLine();
  if (!condition_ || !FolderForLine(*condition_, line)) {
    QMessageBox box(QMessageBox::NoIcon, "Trovanex : error", "フォルダアイテム=nil; 何か変",
                    QMessageBox::Ok, this);
    box.exec();
    reject();
    return;
  }
  choice_ = FolderChoice{FolderChoice::Kind::Save, line, std::nullopt, {}};
  accept();
}

void TSelectSaveFolderDlg::buttonCreateNewClick() {
  const std::optional<QString> folder = AskNewFolder();
  if (!folder) return;
  std::string path = QFile::encodeName(QDir::toNativeSeparators(*folder)).toStdString();
  // The folder joins the rule and is written to Search.cfg: what the file cannot keep is
  // refused here, and the question stays open.
  if (const auto problem = FolderPathProblem(path)) {
    QMessageBox::warning(this, "trovanex", QString::fromStdString(*problem));
    return;
  }
  std::string label = AskFolderLabel().toStdString();
  while (const auto problem = FolderNameProblem(label)) {
    QMessageBox::warning(this, "trovanex", QString::fromStdString(*problem));
    label = AskFolderLabel().toStdString();  // cancelling gives the empty label, which passes
  }
  choice_ = FolderChoice{FolderChoice::Kind::Save, std::nullopt, std::move(path), std::move(label)};
  accept();
}

std::optional<QString> TSelectSaveFolderDlg::AskNewFolder() {
  NewFolderDialog chooser(this, QCoreApplication::applicationDirPath());
  if (chooser.exec() != QDialog::Accepted) return std::nullopt;
  const QString folder = chooser.selectedFiles().value(0);
  if (folder.isEmpty()) return std::nullopt;
  return folder;
}

QString TSelectSaveFolderDlg::AskFolderLabel() {
  // A cancelled box gives the empty label; the folder is added all the same.
  return QInputDialog::getText(this, "保存", "選択する際のラベル:");
}

}  // namespace trovanex
