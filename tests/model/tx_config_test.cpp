#include "model/tx_config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "model/command_line.h"
#include "platform/errors.h"
#include "support/file_error_of.h"
#include "support/recording_message_boxes.h"
#include "support/temp_folder.h"

namespace trovanex {
namespace {

using testing::FileErrorOf;
using testing::ReadFile;
using testing::RecordingMessageBoxes;
using testing::TempFolder;

constexpr char kDefaultIni[] =
    "[Settings]\r\nListenPort=81\r\nUseProxy=0\r\nProxyAddress=\r\nProxyPort=8080\r\n"
    "ConnectionTimeout=5000\r\nReadTimeout=30000\r\nBufferSize=32767\r\n"
    "AllowOuterConnection=0\r\nTrayDoubleClickMode=1\r\n";

class TxConfig : public ::testing::Test {
 protected:
  void Load() { config_.LoadSettings(folder_.path(), ini_, boxes_); }

  TempFolder folder_;
  const std::string ini_ = folder_ / "trovanex.ini";
  TTxConfig config_;
  RecordingMessageBoxes boxes_;
};

TEST_F(TxConfig, DefaultsWithoutFilesAndTheTenLinesWrittenAtExit) {
  Load();
  EXPECT_EQ(config_.ListenPort, 81);
  EXPECT_FALSE(config_.UseProxy);
  EXPECT_EQ(config_.ProxyAddress, "");
  EXPECT_EQ(config_.ProxyPort, 8080);
  EXPECT_EQ(config_.ConnectionTimeout, 5000);
  EXPECT_EQ(config_.ReadTimeout, 30000);
  EXPECT_EQ(config_.BufferSize, 32767);
  EXPECT_FALSE(config_.AllowOuterConnection);
  EXPECT_EQ(config_.TrayDoubleClickMode, 1);
  EXPECT_EQ(config_.FirstCondition(), nullptr);
  EXPECT_TRUE(boxes_.shown.empty());

  config_.SaveSettings(folder_.path(), ini_);
  EXPECT_EQ(ReadFile(ini_), kDefaultIni);
  EXPECT_FALSE(std::filesystem::exists(folder_ / "Search.cfg"));
}

TEST_F(TxConfig, ValuesAsTheFileHoldsThem) {
  const auto field = [](const TTxConfig& c, std::string_view key) -> std::int64_t {
    if (key == "ListenPort") return c.ListenPort;
    if (key == "UseProxy") return c.UseProxy;
    if (key == "BufferSize") return c.BufferSize;
    return c.TrayDoubleClickMode;
  };
  const struct {
    const char* key;
    const char* value;
    std::int64_t read;
  } rows[] = {
      {"ListenPort", "0x51", 81},
      {"ListenPort", "$51", 81},
      {"ListenPort", "0X51", 81},
      {"ListenPort", "abc", 81},
      {"ListenPort", " 8081 ", 8081},
      {"ListenPort", "", 81},
      {"UseProxy", "yes", 0},
      {"UseProxy", "2", 1},
      {"UseProxy", "1", 1},
      {"UseProxy", "0", 0},
      {"TrayDoubleClickMode", "257", 1},
      {"TrayDoubleClickMode", "0", 0},
      {"TrayDoubleClickMode", "-1", 255},
      {"TrayDoubleClickMode", "x", 1},
      {"BufferSize", "0", 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.key) + "=" + row.value);
    folder_.Write("trovanex.ini", std::string("[Settings]\r\n") + row.key + "=" + row.value);
    TTxConfig config;
    config.LoadSettings(folder_.path(), ini_, boxes_);
    EXPECT_EQ(field(config, row.key), row.read);
  }
}

TEST_F(TxConfig, HttpsValuesAsTheFileHoldsThem) {
  const struct {
    const char* lines;
    bool capture;
    const char* hosts;
    const char* extra_ca_file;
  } rows[] = {
      {"", false, "", ""},
      {"Capture=1\r\n", true, "", ""},
      {"Capture=2\r\n", true, "", ""},
      {"Capture=yes\r\n", false, "", ""},
      {"Capture=0x1\r\n", true, "", ""},
      {"Hosts= *.example.com;a.test \r\n", false, "*.example.com;a.test", ""},
      {"Hosts=\" a.test \"\r\n", false, " a.test ", ""},
      {"Hosts=*;a*b\r\n", false, "*;a*b", ""},
      {"ExtraCaFile=/etc/ssl/extra ca.pem\r\n", false, "", "/etc/ssl/extra ca.pem"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.lines);
    folder_.Write("trovanex.ini",
                  std::string("[Settings]\r\nListenPort=90\r\n[Https]\r\n") + row.lines);
    TTxConfig config;
    config.LoadSettings(folder_.path(), ini_, boxes_);
    EXPECT_EQ(config.ListenPort, 90);
    EXPECT_EQ(config.Https.Capture, row.capture);
    EXPECT_EQ(config.Https.Hosts.Text(), row.hosts);
    EXPECT_EQ(config.Https.ExtraCaFile, row.extra_ca_file);
  }
  EXPECT_TRUE(boxes_.shown.empty());
}

// A file from before the section reads as it always did and is written back unchanged.
TEST_F(TxConfig, FileWithoutHttpsKeepsItsTenLines) {
  const std::string old_file =
      "[Settings]\r\nListenPort=90\r\nUseProxy=1\r\nProxyAddress=up\r\nProxyPort=3128\r\n"
      "ConnectionTimeout=1000\r\nReadTimeout=2000\r\nBufferSize=4096\r\n"
      "AllowOuterConnection=1\r\nTrayDoubleClickMode=0\r\n";
  folder_.Write("trovanex.ini", old_file);
  Load();
  // Every value differs from its default, so the file written back shows each one was read.
  EXPECT_EQ(config_.Https, HttpsSettings{});
  EXPECT_FALSE(config_.UseAsSystemProxy);
  config_.SaveSettings(folder_.path(), ini_);
  EXPECT_EQ(ReadFile(ini_), old_file);
}

// The desktop switch has its own section after the others; [Settings] and [Https] stay as
// they were, and a section once written follows the switch back to off.
TEST_F(TxConfig, DesktopSwitchInItsOwnSection) {
  folder_.Write("trovanex.ini", std::string(kDefaultIni) + "[Https]\r\nCapture=1\r\n");
  Load();
  config_.UseAsSystemProxy = true;
  config_.SaveSettings(folder_.path(), ini_);
  const std::string https =
      std::string(kDefaultIni) + "[Https]\r\nCapture=1\r\nHosts=\r\nExtraCaFile=\r\n";
  EXPECT_EQ(ReadFile(ini_), https + "[Desktop]\r\nUseAsSystemProxy=1\r\n");

  TTxConfig again;
  again.LoadSettings(folder_.path(), ini_, boxes_);
  EXPECT_TRUE(again.UseAsSystemProxy);
  TTxConfig copy;
  copy.Assign(again);
  EXPECT_TRUE(copy.UseAsSystemProxy);
  copy.UseAsSystemProxy = false;
  copy.SaveSettings(folder_.path(), ini_);
  EXPECT_EQ(ReadFile(ini_), https + "[Desktop]\r\nUseAsSystemProxy=0\r\n");

  for (const char* value : {"2", "yes", "0x1"}) {
    folder_.Write("trovanex.ini", std::string("[Desktop]\r\nUseAsSystemProxy=") + value);
    TTxConfig read;
    read.LoadSettings(folder_.path(), ini_, boxes_);
    EXPECT_EQ(read.UseAsSystemProxy, std::string(value) != "yes") << value;
  }
}

TEST_F(TxConfig, HttpsWrittenAfterTheNineKeysAndReadBack) {
  Load();
  config_.Https.Capture = true;
  config_.Https.Hosts = HttpsHosts::Parse(" *.example.com;[::1]");
  config_.Https.ExtraCaFile = "/srv/ca.pem";
  config_.SaveSettings(folder_.path(), ini_);
  EXPECT_EQ(ReadFile(ini_), std::string(kDefaultIni) +
                                "[Https]\r\nCapture=1\r\nHosts=\" *.example.com;[::1]\"\r\n"
                                "ExtraCaFile=/srv/ca.pem\r\n");
  TTxConfig again;
  again.LoadSettings(folder_.path(), ini_, boxes_);
  EXPECT_EQ(again.Https, config_.Https);
  EXPECT_TRUE(again.Https.Hosts.Matches("a.example.com"));

  // Set back to the defaults, the section's old values must not stay behind in the file.
  again.Https = HttpsSettings{};
  again.SaveSettings(folder_.path(), ini_);
  EXPECT_EQ(ReadFile(ini_),
            std::string(kDefaultIni) + "[Https]\r\nCapture=0\r\nHosts=\r\nExtraCaFile=\r\n");
}

TEST_F(TxConfig, ProxyAddressIsReadUpTo2047Characters) {
  folder_.Write("trovanex.ini", "[Settings]\nProxyAddress=" + std::string(3000, 'a') + "\n");
  Load();
  EXPECT_EQ(config_.ProxyAddress, std::string(2047, 'a'));
}

TEST_F(TxConfig, ConditionsLoadFirstAndFaultyRecordsDoNotStopTheSettings) {
  folder_.Write("Search.cfg", "SearchString=x\nFolder=/\\d\n[end]\nSearchString=y\n[end]\n");
  folder_.Write("trovanex.ini", "[Settings]\nListenPort=90\n");
  Load();
  ASSERT_NE(config_.FirstCondition(), nullptr);
  EXPECT_EQ(config_.FirstCondition()->SearchString(), "x");
  EXPECT_EQ(config_.FirstCondition()->Next, nullptr);
  EXPECT_EQ(boxes_.shown.size(), 1u);
  EXPECT_EQ(config_.ListenPort, 90);
}

TEST_F(TxConfig, SavingKeepsTheRestOfAnExistingIni) {
  folder_.Write(
      "trovanex.ini",
      "; mine\r\n[Other]\r\nx=1\r\n[Settings]\r\nListenPort=90\r\nExtra=5\r\n\r\n[Last]\r\n");
  Load();
  config_.ListenPort = 82;
  config_.SaveSettings(folder_.path(), ini_);
  EXPECT_EQ(ReadFile(ini_),
            "; mine\r\n[Other]\r\nx=1\r\n[Settings]\r\nListenPort=82\r\nExtra=5\r\nUseProxy=0\r\n"
            "ProxyAddress=\r\nProxyPort=8080\r\nConnectionTimeout=5000\r\nReadTimeout=30000\r\n"
            "BufferSize=32767\r\nAllowOuterConnection=0\r\nTrayDoubleClickMode=1\r\n\r\n"
            "[Last]\r\n");
}

TEST_F(TxConfig, AssignMakesAnIndependentCopy) {
  config_.ListenPort = 90;
  config_.ProxyAddress = "up";
  config_.TrayDoubleClickMode = 7;
  config_.Https.Capture = true;
  config_.Https.Hosts = HttpsHosts::Parse("*.example.com");
  config_.Https.ExtraCaFile = "/ca.pem";
  auto condition = std::make_unique<TSearchCondition>();
  condition->SetSearchString("x");
  condition->AppendFolder("/p", "p");
  config_.Conditions->Add(std::move(condition));

  TTxConfig copy;
  copy.Assign(config_);
  EXPECT_EQ(copy.ListenPort, 90);
  EXPECT_EQ(copy.ProxyAddress, "up");
  EXPECT_EQ(copy.TrayDoubleClickMode, 7);
  EXPECT_EQ(copy.Https, config_.Https);
  EXPECT_TRUE(copy.Https.Hosts.Matches("a.example.com"));
  ASSERT_NE(copy.FirstCondition(), nullptr);
  EXPECT_NE(copy.FirstCondition(), config_.FirstCondition());

  copy.FirstCondition()->Name = "changed";
  copy.FirstCondition()->AppendFolder("/q", "q");
  copy.Conditions->Delete(0);
  ASSERT_EQ(config_.Conditions->Count(), 1);
  EXPECT_EQ(config_.FirstCondition()->Name, "");
  EXPECT_EQ(config_.FirstCondition()->FolderCount(), 1u);
}

TEST_F(TxConfig, RelayBufferSizeIsAlwaysPositive) {
  const std::pair<std::int32_t, std::int32_t> rows[] = {{0, 32767}, {-5, 32767}, {1, 1}};
  for (const auto& [configured, used] : rows) {
    config_.BufferSize = configured;
    EXPECT_EQ(config_.RelayBufferSize(), used) << configured;
  }
}

TEST_F(TxConfig, FailingConditionFileLeavesTheIniUnwritten) {
  auto condition = std::make_unique<TSearchCondition>();
  condition->SetSearchString("x");
  condition->AppendFolder("/p", "");
  config_.Conditions->Add(std::move(condition));
  const std::string missing = folder_ / "missing/";
  EXPECT_EQ(FileErrorOf([&] { config_.SaveSettings(missing, ini_); }),
            "ファイル " + missing + "Search.cfg を作成できません");
  EXPECT_FALSE(std::filesystem::exists(ini_));
}

TEST_F(TxConfig, IniThatCannotBeWritten) {
  const std::string ini = folder_ / "missing/trovanex.ini";
  EXPECT_EQ(FileErrorOf([&] { config_.SaveSettings(folder_.path(), ini); }),
            ini + " に書き込めません");
}

// Replacing a file whose old keys could not be read would silently lose them.
TEST_F(TxConfig, UnreadableIniIsNotReplacedBySave) {
  const std::string content = "[Other]\r\nkeep=1\r\n";
  folder_.Write("trovanex.ini", content);
  ::chmod(ini_.c_str(), 0);
  if (::access(ini_.c_str(), R_OK) == 0) GTEST_SKIP() << "the file stays readable (root)";
  EXPECT_THROW(config_.SaveSettings(folder_.path(), ini_), FileError);
  ::chmod(ini_.c_str(), 0600);
  EXPECT_EQ(ReadFile(ini_), content);
}

TEST(CommandLine, OptionLetters) {
  const struct {
    std::vector<std::string> arguments;
    bool debug;
    std::vector<std::string> reported;
  } rows[] = {
      {{"-d"}, true, {}},           {{"-dx"}, true, {"x"}}, {{"-D"}, false, {"D"}},
      {{"/d", "d"}, false, {}},     {{"-"}, false, {}},     {{"-d", "-d"}, true, {}},
      {{"-xdy"}, true, {"x", "y"}}, {{"--d"}, true, {"-"}}, {{"", "-é"}, false, {"é"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.arguments));
    DebugMode = false;
    RecordingMessageBoxes boxes;
    EXPECT_EQ(ParseCommandLine(row.arguments, boxes), row.debug);
    EXPECT_EQ(DebugMode.load(), row.debug);
    ASSERT_EQ(boxes.shown.size(), row.reported.size());
    for (std::size_t i = 0; i < row.reported.size(); ++i) {
      EXPECT_EQ(boxes.shown[i].text,
                "コマンドラインエラー:そんなパラメータありません！ : " + row.reported[i]);
      EXPECT_EQ(boxes.shown[i].caption, "trovanex :: コマンドラインが変");
    }
  }
  DebugMode = false;
}

}  // namespace
}  // namespace trovanex
