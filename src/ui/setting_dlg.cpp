#include "ui/setting_dlg.h"

#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

#include "model/condition_editing.h"
#include "model/setting_fields.h"
#include "platform/atomic_write.h"
#include "platform/errors.h"
#include "ui/ok_cancel_row.h"
#include "ui/search_setting_dlg.h"
#include "ui/window_font.h"

namespace trovanex {
namespace {

constexpr int kRowHeight = 36;
constexpr int kBandHeight = 22;
constexpr int kNameRole = Qt::UserRole;
constexpr int kSearchStringRole = Qt::UserRole + 1;

QString ToQ(const std::string& text) {
  return QString::fromStdString(text);
}

// Paints a condition as two lines: its name in bold on a light blue band, its search string
// below, and a rule under the row.
class MatchListDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const override {
    return {option.rect.width(), kRowHeight};
  }

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    const bool selected = option.state & QStyle::State_Selected;
    const QPalette& palette = option.palette;
    const QColor highlight = palette.color(QPalette::Highlight);
    const QColor window = palette.color(QPalette::Base);
    const QRect row = option.rect;

    painter->save();
    painter->fillRect(row, selected ? highlight : window);
    painter->fillRect(QRect(row.left(), row.top(), row.width(), kBandHeight),
                      selected ? highlight : QColor(205, 221, 255));
    painter->setPen(palette.color(selected ? QPalette::HighlightedText : QPalette::Text));

    QFont name_font = option.font;
    name_font.setBold(true);
    name_font.setPixelSize(18);
    painter->setFont(name_font);
    painter->drawText(QRect(row.left() + 2, row.top() + 2, row.width() - 4, kRowHeight - 2),
                      Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                      index.data(kNameRole).toString());

    QFont search_font = option.font;
    search_font.setBold(false);
    search_font.setPixelSize(12);
    painter->setFont(search_font);
    painter->setBackgroundMode(Qt::OpaqueMode);
    painter->setBackground(selected ? highlight : window);
    painter->drawText(QRect(row.left() + 2, row.top() + kBandHeight, row.width() - 4,
                            kRowHeight - kBandHeight - 1),
                      Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                      index.data(kSearchStringRole).toString());
    painter->setBackgroundMode(Qt::TransparentMode);

    painter->setPen(palette.color(QPalette::Text));
    painter->drawLine(row.left(), row.top() + kRowHeight - 1, row.right(),
                      row.top() + kRowHeight - 1);
    painter->restore();
  }
};

}  // namespace

TSettingDlg::TSettingDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle("設定");
  setFont(WindowFont());

  pages_ = new QTabWidget(this);
  pages_->setObjectName("PageControl1");
  pages_->addTab(CreateConnectionPage(), "接続設定");
  pages_->addTab(CreateMatchingPage(), "マッチング・保存設定");
  pages_->addTab(CreateHttpsPage(), "HTTPS");

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(pages_);
  layout->addLayout(OkCancelRow(this, &TSettingDlg::BtnOKClick));
  resize(420, 400);
}

QLineEdit* TSettingDlg::AddNumberBox(const char* name) {
  auto* box = new QLineEdit(this);
  box->setObjectName(name);
  box->setMaximumWidth(120);
  return box;
}

QWidget* TSettingDlg::CreateConnectionPage() {
  auto* page = new QWidget(this);
  page->setObjectName("ConnectionPage");
  textConnectPort_ = AddNumberBox("textConnectPort");
  textConnectTimeout_ = AddNumberBox("textConnectTimeout");
  textReadTimeout_ = AddNumberBox("textReadTimeout");
  textBufferSize_ = AddNumberBox("textBufferSize");
  checkAllowOuterConnection_ = new QCheckBox("外部からの接続を許可する(&O)", page);
  checkAllowOuterConnection_->setObjectName("checkAllowOuterConnection");
  checkSystemProxy_ = new QCheckBox("このデスクトップのプロキシとして使う(&U)", page);
  checkSystemProxy_->setObjectName("checkSystemProxy");
  checkSystemProxy_->setToolTip(
      "起動中は GNOME と KDE Plasma のプロキシ設定を 127.0.0.1 のこのポートにし、"
      "終了するときに元に戻します。");

  auto* proxy = new QGroupBox("プロキシ", page);
  CheckUseProxy_ = new QCheckBox("プロキシを使用する", proxy);
  CheckUseProxy_->setObjectName("CheckUseProxy");
  TextProxyAddr_ = new QLineEdit(proxy);
  TextProxyAddr_->setObjectName("TextProxyAddr");
  TextProxyPort_ = AddNumberBox("TextProxyPort");
  auto* proxy_grid = new QGridLayout(proxy);
  proxy_grid->addWidget(CheckUseProxy_, 0, 0, 1, 2);
  proxy_grid->addWidget(new QLabel("アドレス", proxy), 1, 0);
  proxy_grid->addWidget(TextProxyAddr_, 1, 1);
  proxy_grid->addWidget(new QLabel("ポート", proxy), 2, 0);
  proxy_grid->addWidget(TextProxyPort_, 2, 1);

  auto* grid = new QGridLayout(page);
  grid->addWidget(new QLabel("接続ポート", page), 0, 0);
  grid->addWidget(textConnectPort_, 0, 1);
  grid->addWidget(new QLabel("接続タイムアウト", page), 1, 0);
  grid->addWidget(textConnectTimeout_, 1, 1);
  grid->addWidget(new QLabel("通信タイムアウト", page), 2, 0);
  grid->addWidget(textReadTimeout_, 2, 1);
  grid->addWidget(checkAllowOuterConnection_, 3, 0, 1, 2);
  grid->addWidget(proxy, 4, 0, 1, 2);
  grid->addWidget(new QLabel("バッファサイズ(KiB)", page), 5, 0);
  grid->addWidget(textBufferSize_, 5, 1);
  grid->addWidget(checkSystemProxy_, 6, 0, 1, 2);
  grid->setRowStretch(7, 1);
  return page;
}

QWidget* TSettingDlg::CreateMatchingPage() {
  auto* page = new QWidget(this);
  page->setObjectName("TabSheet1");
  MatchList_ = new QListWidget(page);
  MatchList_->setObjectName("MatchList");
  MatchList_->setItemDelegate(new MatchListDelegate(MatchList_));
  MatchList_->setUniformItemSizes(true);
  MatchList_->setSelectionMode(QAbstractItemView::SingleSelection);

  auto* buttons = new QVBoxLayout;
  const struct {
    const char* name;
    const char* caption;
    void (TSettingDlg::*click)();
  } actions[] = {{"btnAdd", "追加(&A)", &TSettingDlg::BtnAddClick},
                 {"btnEdit", "編集(&E)", &TSettingDlg::BtnEditClick},
                 {"btnDelete", "削除(&D)", &TSettingDlg::BtnDeleteClick}};
  for (const auto& action : actions) {
    auto* button = new QPushButton(action.caption, page);
    button->setObjectName(action.name);
    button->setAutoDefault(false);
    connect(button, &QPushButton::clicked, this, action.click);
    buttons->addWidget(button);
  }
  buttons->addStretch();

  auto* layout = new QHBoxLayout(page);
  layout->addWidget(MatchList_, 1);
  layout->addLayout(buttons);
  return page;
}

QWidget* TSettingDlg::CreateHttpsPage() {
  auto* page = new QWidget(this);
  page->setObjectName("HttpsPage");
  checkHttpsCapture_ = new QCheckBox("HTTPS の内容も保存する（下のホストのみ）(&H)", page);
  checkHttpsCapture_->setObjectName("checkHttpsCapture");
  textHttpsHosts_ = new QLineEdit(page);
  textHttpsHosts_->setObjectName("textHttpsHosts");
  textHttpsHosts_->setPlaceholderText("www.example.com;*.example.org");
  auto* hosts_note = new QLabel(
      "「;」で区切って入力します。「*.example.org」は example.org とその下のホストすべてです。",
      page);
  hosts_note->setWordWrap(true);

  textExtraCaFile_ = new QLineEdit(page);
  textExtraCaFile_->setObjectName("textExtraCaFile");
  auto* browse = new QPushButton("参照...", page);
  browse->setObjectName("btnExtraCaFile");
  browse->setAutoDefault(false);
  connect(browse, &QPushButton::clicked, this, &TSettingDlg::BtnExtraCaFileClick);
  auto* ca_file_row = new QHBoxLayout;
  ca_file_row->addWidget(textExtraCaFile_, 1);
  ca_file_row->addWidget(browse);

  auto* local_ca = new QGroupBox("ローカル CA", page);
  buttonSaveCaCertificate_ = new QPushButton("ローカル CA 証明書を保存...", local_ca);
  buttonSaveCaCertificate_->setObjectName("buttonSaveCaCertificate");
  buttonSaveCaCertificate_->setAutoDefault(false);
  buttonSaveCaCertificate_->setEnabled(false);
  connect(buttonSaveCaCertificate_, &QPushButton::clicked, this,
          &TSettingDlg::BtnSaveCaCertificateClick);
  auto* trust_note = new QLabel(
      "ブラウザがローカル CA を「認証局」として信頼すると、指定したホストの HTTPS "
      "を保存できます。「信頼する」はこのユーザーの Chromium と Firefox "
      "の証明書データベースに追加し、「信頼を取り消す」はそこから取り除きます。",
      local_ca);
  trust_note->setWordWrap(true);
  buttonTrustCa_ = new QPushButton("ブラウザでローカル CA を信頼する", local_ca);
  buttonTrustCa_->setObjectName("buttonTrustCa");
  buttonUntrustCa_ = new QPushButton("信頼を取り消す", local_ca);
  buttonUntrustCa_->setObjectName("buttonUntrustCa");
  for (QPushButton* button : {buttonTrustCa_, buttonUntrustCa_}) {
    button->setAutoDefault(false);
    button->setEnabled(false);
  }
  connect(buttonTrustCa_, &QPushButton::clicked, this, [this] { ChangeBrowserTrust(true); });
  connect(buttonUntrustCa_, &QPushButton::clicked, this, [this] { ChangeBrowserTrust(false); });
  auto* buttons_row = new QHBoxLayout;
  buttons_row->addWidget(buttonSaveCaCertificate_);
  buttons_row->addWidget(buttonTrustCa_);
  buttons_row->addWidget(buttonUntrustCa_);
  buttons_row->addStretch();
  auto* local_ca_layout = new QVBoxLayout(local_ca);
  local_ca_layout->addLayout(buttons_row);
  local_ca_layout->addWidget(trust_note);

  auto* layout = new QVBoxLayout(page);
  layout->addWidget(checkHttpsCapture_);
  layout->addWidget(new QLabel("ホスト", page));
  layout->addWidget(textHttpsHosts_);
  layout->addWidget(hosts_note);
  layout->addWidget(new QLabel("追加の認証局ファイル（PEM）", page));
  layout->addLayout(ca_file_row);
  layout->addWidget(local_ca);
  layout->addStretch();
  return page;
}

void TSettingDlg::SetCaCertificateSource(CaCertificateSource source) {
  ca_certificate_ = std::move(source);
  buttonSaveCaCertificate_->setEnabled(static_cast<bool>(ca_certificate_));
}

void TSettingDlg::SetBrowserTrust(BrowserTrust change) {
  browser_trust_ = std::move(change);
  EnableTrustButtons();
}

void TSettingDlg::EnableTrustButtons() {
  const bool usable = browser_trust_ && !trust_work_.Busy();
  buttonTrustCa_->setEnabled(usable);
  buttonUntrustCa_->setEnabled(usable);
  if (usable)
    unsetCursor();
  else if (trust_work_.Busy())
    setCursor(Qt::BusyCursor);
}

void TSettingDlg::ChangeBrowserTrust(bool trust) {
  if (!browser_trust_) return;
  trust_work_.Start([change = browser_trust_, trust] { return change(trust); },
                    [this](const std::string& report) {
                      EnableTrustButtons();
                      QMessageBox::information(this, "trovanex", ToQ(report));
                    });
  EnableTrustButtons();
}

void TSettingDlg::SetConditionEditor(TSearchSettingDlg* editor) {
  editor_ = editor;
}

TSearchSettingDlg& TSettingDlg::Editor() {
  if (!editor_) editor_ = new TSearchSettingDlg(this);
  return *editor_;
}

std::shared_ptr<TTxConfig> TSettingDlg::EditConfig(std::shared_ptr<TTxConfig> current) {
  // A second call while the window is open (from the tray menu, say) changes nothing.
  if (!current || working_) return current;
  auto working = std::make_shared<TTxConfig>();
  try {
    working->Assign(*current);
  } catch (const AssertionFailure& failure) {
    // The copy refuses a rule without a folder. The check's own text is for whoever reads the
    // program's output; the user is told what it means for the settings.
    qCritical("trovanex: %s", failure.what());
    QMessageBox::warning(parentWidget(), "trovanex",
                         "保存するフォルダのない検索条件があるため、設定を開けません。");
    return current;
  }
  working_ = working;
  // Let go of the copy however the window ends, or the next call would find it still open.
  struct Release {
    std::shared_ptr<TTxConfig>& working;
    ~Release() { working.reset(); }
  } release{working_};
  FillControls();
  RefreshMatchList();
  return exec() == QDialog::Accepted ? working : current;
}

void TSettingDlg::FillControls() {
  const SettingFields fields = SettingFields::FromConfig(*working_);
  textConnectPort_->setText(ToQ(fields.connect_port));
  textConnectTimeout_->setText(ToQ(fields.connect_timeout));
  textReadTimeout_->setText(ToQ(fields.read_timeout));
  checkAllowOuterConnection_->setChecked(fields.allow_outer_connection);
  CheckUseProxy_->setChecked(fields.use_proxy);
  TextProxyAddr_->setText(ToQ(fields.proxy_address));
  TextProxyPort_->setText(ToQ(fields.proxy_port));
  textBufferSize_->setText(ToQ(fields.buffer_size_kib));
  checkHttpsCapture_->setChecked(fields.https_capture);
  textHttpsHosts_->setText(ToQ(fields.https_hosts));
  textExtraCaFile_->setText(ToQ(fields.extra_ca_file));
  checkSystemProxy_->setChecked(fields.use_as_system_proxy);
}

void TSettingDlg::RefreshMatchList() {
  MatchList_->clear();
  if (!working_) return;
  for (const TSearchCondition* condition = working_->FirstCondition(); condition;
       condition = condition->Next) {
    auto* row =
        new QListWidgetItem(condition->Name.empty() ? QString("no name") : ToQ(condition->Name));
    row->setData(kNameRole, ToQ(condition->Name));
    row->setData(kSearchStringRole, ToQ(condition->SearchString()));
    MatchList_->addItem(row);
  }
}

int TSettingDlg::SelectedRow() const {
  const QList<QListWidgetItem*> selected = MatchList_->selectedItems();
  return selected.isEmpty() ? -1 : MatchList_->row(selected.front());
}

void TSettingDlg::BtnOKClick() {
  if (!working_) return;
  SettingFields fields;
  fields.connect_port = textConnectPort_->text().toStdString();
  fields.connect_timeout = textConnectTimeout_->text().toStdString();
  fields.read_timeout = textReadTimeout_->text().toStdString();
  fields.allow_outer_connection = checkAllowOuterConnection_->isChecked();
  fields.use_proxy = CheckUseProxy_->isChecked();
  fields.proxy_address = TextProxyAddr_->text().toStdString();
  fields.proxy_port = TextProxyPort_->text().toStdString();
  fields.buffer_size_kib = textBufferSize_->text().toStdString();
  fields.https_capture = checkHttpsCapture_->isChecked();
  fields.https_hosts = textHttpsHosts_->text().toStdString();
  fields.extra_ca_file = textExtraCaFile_->text().toStdString();
  fields.use_as_system_proxy = checkSystemProxy_->isChecked();
  // Capture and the folder choice rely on every rule having a folder to save in.
  if (const std::optional<std::string> refusal = RuleWithoutFolderProblem(*working_->Conditions)) {
    QMessageBox::warning(this, "trovanex", ToQ(*refusal));
    return;
  }
  if (const std::optional<std::string> refusal = fields.ApplyTo(*working_)) {
    QMessageBox::warning(this, "trovanex", ToQ(*refusal));
    // The buffer size is checked first; when it passed, the host list was refused.
    QLineEdit* refused =
        BufferSizeFromKiB(fields.buffer_size_kib) ? textHttpsHosts_ : textBufferSize_;
    pages_->setCurrentWidget(refused->parentWidget());
    refused->setFocus();
    refused->selectAll();
    return;
  }
  accept();
}

void TSettingDlg::BtnAddClick() {
  if (!working_) return;
  if (std::unique_ptr<TSearchCondition> added = Editor().EditNewCondition()) {
    working_->Conditions->Add(std::move(added));
    RefreshMatchList();
  }
}

void TSettingDlg::BtnEditClick() {
  const int row = SelectedRow();
  if (!working_ || row < 0) return;
  if (Editor().EditCondition(working_->Conditions->Items(row))) RefreshMatchList();
}

void TSettingDlg::BtnDeleteClick() {
  const int row = SelectedRow();
  if (!working_ || row < 0) return;
  QMessageBox question(QMessageBox::NoIcon, "検索条件", "本当に削除しますか？",
                       QMessageBox::Ok | QMessageBox::Cancel, this);
  if (question.exec() != QMessageBox::Ok) return;
  working_->Conditions->Delete(row);
  RefreshMatchList();
}

void TSettingDlg::BtnExtraCaFileClick() {
  const QString file =
      QFileDialog::getOpenFileName(this, "追加の認証局ファイルの選択", textExtraCaFile_->text(),
                                   "PEM 証明書 (*.pem *.crt);;すべてのファイル (*)");
  if (!file.isEmpty()) textExtraCaFile_->setText(file);
}

void TSettingDlg::BtnSaveCaCertificateClick() {
  if (!ca_certificate_) return;
  std::string error;
  const std::optional<std::string> pem = ca_certificate_(error);
  if (!pem) {
    QMessageBox::warning(this, "trovanex", ToQ("ローカル CA 証明書を用意できません: " + error));
    return;
  }
  const QString path = QFileDialog::getSaveFileName(this, "ローカル CA 証明書の保存",
                                                    QDir::home().filePath("trovanex-ca.crt"),
                                                    "証明書 (*.crt *.pem);;すべてのファイル (*)");
  if (path.isEmpty()) return;
  const std::string file = path.toStdString();
  if (!ReplaceFileAtomically(file, *pem).ok())
    QMessageBox::warning(this, "trovanex", ToQ(file + " に書き込めません"));
}

}  // namespace trovanex
