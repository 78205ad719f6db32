// The main window: its fixed height, closing that only hides, the menus, the saving switch
// with the tray's tip and picture, the tray double click, and the hash-list rebuild.
#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <memory>

#include "model/command_line.h"
#include "model/hash_list.h"
#include "model/settings_holder.h"
#include "model/tx_config.h"
#include "support/modal_windows.h"
#include "ui/first_start_dlg.h"
#include "ui/hash_refresh_dlg.h"
#include "ui/search_setting_dlg.h"
#include "ui/status_frm.h"

using namespace trovanex;

namespace {

// Menu contents as captions, "-" for a separator and the title for a submenu.
QStringList Captions(const QList<QAction*>& actions) {
  QStringList captions;
  for (const QAction* action : actions)
    captions << (action->isSeparator() ? QString("-") : action->text());
  return captions;
}

QImage Picture(const QIcon& icon) {
  return icon.pixmap(16, 16).toImage().convertToFormat(QImage::Format_ARGB32);
}

}  // namespace

class StatusFrmTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    folder_ = std::make_unique<QTemporaryDir>();
    auto config = std::make_shared<TTxConfig>();
    settings_ = std::make_unique<SettingsHolder>(config);
    saving_ = true;
    hash_list_ = std::make_unique<THashList>(folder_->filePath("hash.dat").toStdString());
    frm_ = std::make_unique<TStatusFrm>(
        StatusFrmServices{*settings_, saving_, *hash_list_, nullptr, {}});
    tray_ = frm_->findChild<QSystemTrayIcon*>("TrayIcon");
    QVERIFY(tray_);
  }
  void cleanup() {
    frm_.reset();
    hash_list_.reset();
    settings_.reset();
    folder_.reset();
  }

  void keepsItsSizeWhateverTheResize() {
    frm_->show();
    QVERIFY(QTest::qWaitForWindowExposed(frm_.get()));
    QCOMPARE(frm_->frameGeometry().height(), TStatusFrm::kOuterHeight);
    QCOMPARE(frm_->width(), TStatusFrm::kWidth);
    for (const QSize wanted : {QSize(400, 300), QSize(250, 40), QSize(0, 167), QSize(316, 167)}) {
      frm_->resize(wanted);
      QCOMPARE(frm_->width(), TStatusFrm::kWidth);
      QCOMPARE(frm_->frameGeometry().height(), TStatusFrm::kOuterHeight);
    }
    frm_->showMaximized();
    QTRY_VERIFY(!frm_->isMaximized());
    QCOMPARE(frm_->width(), TStatusFrm::kWidth);
    QCOMPARE(frm_->frameGeometry().height(), TStatusFrm::kOuterHeight);
  }

  void closingOnlyHidesTheWindow() {
    frm_->show();
    QVERIFY(QTest::qWaitForWindowExposed(frm_.get()));
    QVERIFY(!frm_->close());  // refused: the program goes on
    if (QSystemTrayIcon::isSystemTrayAvailable())
      QVERIFY(!frm_->isVisible());
    else  // nothing would bring a hidden window back
      QVERIFY(frm_->isMinimized());
    QVERIFY(tray_->isVisible() || !QSystemTrayIcon::isSystemTrayAvailable());
    frm_->findChild<QAction*>("actViewStat")->trigger();
    QVERIFY(frm_->isVisible());
    QVERIFY(!frm_->isMinimized());
  }

  void startsWithTheInitialFiguresAndCaption() {
    QCOMPARE(frm_->windowTitle(), QString("Trovanex : status"));
    DebugMode = true;
    TStatusFrm debugging(StatusFrmServices{*settings_, saving_, *hash_list_, nullptr, {}});
    DebugMode = false;
    QCOMPARE(debugging.windowTitle(), QString("trovanex **debug mode**"));
    const std::pair<const char*, const char*> labels[] = {
        {"Label1", "延べ接続数"},    {"ConnectCounter", "0/0"},
        {"Label2", "保存データ量"},  {"labelSavedData", "!"},
        {"Label3", "同時接続数: 0"}, {"labelClientAddr", "まだ接続されていません。"}};
    for (const auto& [name, text] : labels) {
      auto* label = frm_->findChild<QLabel*>(name);
      QVERIFY2(label, name);
      QCOMPARE(label->text(), QString(text));
    }
  }

  void menusHoldTheActionsInOrder() {
    QMenuBar* bar = frm_->menuBar();
    QCOMPARE(Captions(bar->actions()),
             (QStringList{"ファイル(&F)", "表示(&V)", "設定(&S)...", "ヘルプ(&H)"}));
    QCOMPARE(Captions(bar->actions()[0]->menu()->actions()),
             (QStringList{"ハッシュリスト更新(&H)", "-", "終了(&X)"}));
    QCOMPARE(Captions(bar->actions()[1]->menu()->actions()),
             (QStringList{"HTTPログを表示(&L)", "接続中リストを表示(&C)"}));
    QVERIFY(!bar->actions()[2]->menu());  // the settings run straight from the bar
    QCOMPARE(Captions(bar->actions()[3]->menu()->actions()), (QStringList{"バージョン情報"}));

    QCOMPARE(Captions(tray_->contextMenu()->actions()),
             (QStringList{"保存を有効にする", "このデスクトップのプロキシにする(&P)", "-",
                          "ステータス表示(&T)", "HTTPログを表示(&L)", "接続中リストを表示(&C)", "-",
                          "設定(&S)...", "はじめの設定(&W)...", "-", "ハッシュリスト更新(&H)", "-",
                          "バージョン情報", "-", "終了(&X)"}));
  }

  void savingSwitchFromTheTrayMenu() {
    QAction* save = tray_->contextMenu()->actions().first();
    QVERIFY(save->isCheckable() && save->isChecked());
    QCOMPARE(tray_->toolTip(), QString("trovanex - トロヴァネクス\r\n保存は有効です"));
    QCOMPARE(Picture(tray_->icon()), Picture(QIcon(":/icons/trovanex.png")));
    QVERIFY(Picture(QIcon(":/icons/tray_save_on.png")) !=
            Picture(QIcon(":/icons/tray_save_off.png")));

    save->trigger();
    QVERIFY(!saving_);
    QVERIFY(!save->isChecked());
    QCOMPARE(tray_->toolTip(), QString("trovanex - トロヴァネクス\r\n保存は無効です"));
    QCOMPARE(Picture(tray_->icon()), Picture(QIcon(":/icons/tray_save_off.png")));

    save->trigger();
    QVERIFY(saving_);
    QVERIFY(save->isChecked());
    QCOMPARE(tray_->toolTip(), QString("trovanex - トロヴァネクス\r\n保存は有効です"));
    QCOMPARE(Picture(tray_->icon()), Picture(QIcon(":/icons/tray_save_on.png")));
  }

  // The desktop switch, from the tray menu and from the first start's dialog, is kept in a new
  // settings object: connections hold on to the one they started with.
  void desktopSwitchReplacesTheSettings() {
    QAction* desktop = tray_->contextMenu()->actions()[1];
    QVERIFY(desktop->isCheckable() && !desktop->isChecked());
    const std::shared_ptr<TTxConfig> before = settings_->Current();
    desktop->trigger();
    QVERIFY(settings_->Current() != before);
    QVERIFY(settings_->Current()->UseAsSystemProxy);
    QVERIFY(!before->UseAsSystemProxy);
    QVERIFY(desktop->isChecked());

    // The first start's dialog, then the rule editor it opens: the rule lands in the settings.
    TFirstStartDlg first_start;
    TSearchSettingDlg rule_editor;
    frm_->SetWindows({nullptr, nullptr, nullptr, nullptr, nullptr, &first_start, &rule_editor});
    bool offered_on = false;
    testing::WhenShown<TFirstStartDlg>([&offered_on](QWidget* window) {
      auto* proxy = window->findChild<QCheckBox*>("checkSystemProxy");
      offered_on = proxy->isChecked();
      proxy->setChecked(false);
      QVERIFY(window->findChild<QCheckBox*>("checkFirstRule")->isChecked());
      testing::WhenShown<TSearchSettingDlg>([](QWidget* editor) {
        editor->findChild<QLineEdit*>("textSearchText")->setText("/img/");
        editor->findChild<QLineEdit*>("textSaveFolder")->setText("/save");
        editor->findChild<QPushButton*>("BtnOK")->click();
      });
      window->findChild<QPushButton*>("BtnOK")->click();
    });
    frm_->ShowFirstStart(true);
    QVERIFY(offered_on);
    QVERIFY(!settings_->Current()->UseAsSystemProxy);
    QVERIFY(!desktop->isChecked());
    QVERIFY(settings_->Current()->FirstCondition());
    QCOMPARE(settings_->Current()->FirstCondition()->SearchString(), "/img/");
  }

  void doubleClickFollowsTheSettings_data() {
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("shows_window");
    QTest::addColumn<bool>("saving_after");
    QTest::newRow("0 shows the main window") << 0 << true << true;
    QTest::newRow("1 switches saving off") << 1 << false << false;
    QTest::newRow("2 does nothing") << 2 << false << true;
    QTest::newRow("255 does nothing") << 255 << false << true;
  }
  void doubleClickFollowsTheSettings() {
    QFETCH(int, mode);
    QFETCH(bool, shows_window);
    QFETCH(bool, saving_after);
    settings_->Current()->TrayDoubleClickMode = static_cast<std::uint8_t>(mode);

    emit tray_->activated(QSystemTrayIcon::Trigger);  // a single click is no double click
    QVERIFY(!frm_->isVisible());
    QVERIFY(saving_);

    emit tray_->activated(QSystemTrayIcon::DoubleClick);
    QCOMPARE(frm_->isVisible(), shows_window);
    QCOMPARE(bool(saving_), saving_after);
    QCOMPARE(tray_->contextMenu()->actions().first()->isChecked(), saving_after);
    if (mode == 1) {
      emit tray_->activated(QSystemTrayIcon::DoubleClick);
      QVERIFY(saving_);
      QCOMPARE(tray_->toolTip(), QString("trovanex - トロヴァネクス\r\n保存は有効です"));
    }
  }

  // The rebuild lets events run after each file, so the menus stay usable: a second choice of
  // the action meanwhile must not start a second rebuild or hide the notice of the first.
  void hashRefreshStaysResponsiveAndRunsOnce() {
    QDir(folder_->path()).mkdir("saved");
    const QString saved = folder_->filePath("saved");
    constexpr int kFiles = 12;
    for (int i = 0; i < kFiles; ++i) {
      QFile file(saved + QString("/f%1.bin").arg(i));
      QVERIFY(file.open(QIODevice::WriteOnly));
      file.write(QByteArray(100 + i, char('a' + i)));
    }
    auto condition = std::make_unique<TSearchCondition>();
    condition->AppendFolder(saved.toStdString() + "/", "saved");
    settings_->Current()->Conditions->Add(std::move(condition));
    THashRefreshDlg notice;
    frm_->SetWindows({nullptr, nullptr, nullptr, nullptr, &notice, nullptr, nullptr});
    QAction* refresh = frm_->findChild<QAction*>("actRefreshHash");

    int ticks_during = 0;
    bool notice_stayed = true;
    QTimer tick;
    connect(&tick, &QTimer::timeout, this, [&] {
      ++ticks_during;
      QVERIFY(!refresh->isEnabled());
      refresh->trigger();  // disabled: ignored
      notice_stayed = notice_stayed && notice.isVisible();
    });
    tick.start(0);
    refresh->trigger();
    tick.stop();

    QVERIFY(ticks_during > 0);
    QVERIFY(notice_stayed);
    QVERIFY(!notice.isVisible());
    QVERIFY(refresh->isEnabled());
    QCOMPARE(notice.ProgressText(), QString("%1 / %1").arg(kFiles));
    QFile list(folder_->filePath("hash.dat"));
    QVERIFY(list.open(QIODevice::ReadOnly));
    QCOMPARE(list.readAll().count("\r\n"), kFiles);
  }

  void failedHashRefreshIsShownAndHidesTheNotice() {
    frm_.reset();
    hash_list_ = std::make_unique<THashList>(folder_->filePath("missing/hash.dat").toStdString());
    frm_ = std::make_unique<TStatusFrm>(
        StatusFrmServices{*settings_, saving_, *hash_list_, nullptr, {}});
    THashRefreshDlg notice;
    frm_->SetWindows({nullptr, nullptr, nullptr, nullptr, &notice, nullptr, nullptr});

    QString caption;
    QTimer closer;
    connect(&closer, &QTimer::timeout, this, [&] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        caption = box->windowTitle();
        box->accept();
      }
    });
    closer.start(10);
    frm_->findChild<QAction*>("actRefreshHash")->trigger();
    closer.stop();

    QCOMPARE(caption, QString("trovanex"));
    QVERIFY(!notice.isVisible());
    QVERIFY(frm_->findChild<QAction*>("actRefreshHash")->isEnabled());
  }

 private:
  std::unique_ptr<QTemporaryDir> folder_;
  std::unique_ptr<SettingsHolder> settings_;
  std::atomic<bool> saving_{true};
  std::unique_ptr<THashList> hash_list_;
  std::unique_ptr<TStatusFrm> frm_;
  QSystemTrayIcon* tray_ = nullptr;
};

QTEST_MAIN(StatusFrmTest)
#include "status_frm_test.moc"
