#include "engine/capture.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <memory>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "engine/content_types.h"
#include "model/file_digest.h"
#include "model/settings_holder.h"
#include "platform/errors.h"
#include "platform/file_system.h"
#include "support/content_codings.h"
#include "support/recording_message_boxes.h"
#include "support/recording_views.h"
#include "support/temp_folder.h"

namespace trovanex {
namespace {

using testing::ReadFile;
using testing::RecordingMessageBoxes;
using testing::RecordingMonitorViews;
using testing::RecordingStatusView;
using testing::TempFolder;

class ScriptedQuestion : public SaveQuestion {
 public:
  bool AskYesNo(const std::string& caption, const std::string& text) override {
    asked.push_back(caption + "|" + text);
    return answer;
  }
  bool answer = false;
  std::vector<std::string> asked;
};

// Answers every request with `choice` and keeps the request it was shown.
class ScriptedChooser : public FolderChooser {
 public:
  FolderChoice Choose(const SaveRequest& request) override {
    shown.push_back(request);
    return choice;
  }
  FolderChoice choice;
  std::vector<SaveRequest> shown;
};

// Settings with one condition: "jpg" anywhere in the address, saved into `folder`.
std::shared_ptr<TTxConfig> ConfigSavingTo(const std::string& folder, TExecType exec_type) {
  auto config = std::make_shared<TTxConfig>();
  auto condition = std::make_unique<TSearchCondition>();
  condition->SetSearchString("jpg");
  condition->ExecType = exec_type;
  condition->AppendFolder(folder, "img");
  config->Conditions->Add(std::move(condition));
  return config;
}

TRelayState Answer(std::int64_t remaining, const std::string& content_type = "image/jpeg") {
  TRelayState state;
  state.Remaining = remaining;
  state.StatusOk = true;
  state.ContentType = content_type;
  return state;
}

struct CaptureTest : ::testing::Test {
  // A capture of connection 12 for `host_path`, with its file open (when the match stands).
  std::unique_ptr<Capture> Begin(const std::string& host_path,
                                 const std::string& content_type = "image/jpeg",
                                 const std::string& content_encoding = "") {
    auto capture = std::make_unique<Capture>(services, 12, config);
    TProxyRequest request;
    request.ConnectionNo = 12;
    request.HostPath = host_path;
    request.Https = https;
    capture->Match(request);
    TRelayState state = Answer(-1, content_type);
    state.ContentEncoding = content_encoding;
    capture->StartCapture(request, state);
    return capture;
  }
  // What the relay does with each piece it passes to the browser.
  static void Feed(Capture& capture, const std::string& bytes, std::size_t piece = 300) {
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
      const std::size_t length = std::min(piece, bytes.size() - at);
      ASSERT_EQ(::write(capture.CaptureCopy()->fd, bytes.data() + at, length),
                static_cast<ssize_t>(length));
      capture.CapturedPiece(length);
    }
  }
  std::unique_ptr<Capture> Run(const std::string& host_path, const std::string& content) {
    auto capture = Begin(host_path);
    Feed(*capture, content);
    capture->FinishCapture(Answer(0));
    return capture;
  }
  std::string HashLine(const std::string& stored, const std::string& address,
                       const std::string& mark = "") {
    return FileDigest(stored) + "<>" + stored + "<>" + std::to_string(ListedFileSize(stored)) +
           "<>" + address + mark + "\r\n";
  }
  std::string HashFile() { return ReadWholeFile(hash_list.FilePath()).value_or(""); }
  bool Logged(const std::string& line) {
    const auto lines = views.log.Lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  std::vector<std::string> Balloons() {
    std::vector<std::string> texts;
    for (const auto& balloon : views.balloons.Shown()) texts.push_back(balloon.text);
    return texts;
  }

  TempFolder temp;
  const std::string program_folder = temp.MakeFolder("prog") + "/";
  const std::string img = temp.MakeFolder("img");
  RecordingMonitorViews views;
  Monitor monitor{views.Views(), false};
  THashList hash_list{temp / "hash.dat"};
  std::atomic<bool> save_available{true};
  ScriptedQuestion question;
  ScriptedChooser chooser;
  RecordingMessageBoxes boxes;
  FolderChoiceQueue folder_queue{chooser, boxes, [](const std::function<void()>& work) { work(); },
                                 [](const std::string&) {}};
  CaptureServices services{monitor,        hash_list, save_available,
                           program_folder, question,  folder_queue};
  std::shared_ptr<TTxConfig> config = ConfigSavingTo(img, TExecType::Save);
  bool https = false;  // the requests Begin makes were read inside an opened tunnel
};

TEST_F(CaptureTest, AnIncompleteCaptureIsDeletedSilently) {
  struct Row {
    const char* name;
    std::int64_t remaining;
    bool chunked;
    bool write_failed;
  };
  const Row rows[] = {
      {"bytes still missing", 3, false, false},
      {"relayed until the origin closed", -1, false, false},
      {"chunked, last chunk not seen", -1, true, false},
      {"Content-Length and chunked: relayed by length", 0, true, false},
      {"capture file not written whole", 0, false, true},
  };
  for (const Row& row : rows) {
    auto capture = Begin("h/a/b.jpg");
    Feed(*capture, "0123456789");
    if (row.write_failed) {
      capture->CaptureCopy()->failed = true;
      capture->CaptureCopy()->error = ENOSPC;
    }
    const std::size_t balloons_before = Balloons().size();
    TRelayState state = Answer(row.remaining);
    state.Chunked = row.chunked;
    capture->FinishCapture(state);
    EXPECT_TRUE(ListFiles(program_folder).empty()) << row.name;
    EXPECT_TRUE(ListFiles(img).empty()) << row.name;
    EXPECT_EQ(Balloons().size(), balloons_before) << row.name;
  }
  EXPECT_EQ(monitor.Counters.SavedBytes(), 50u);  // thrown-away bytes were saved all the same
  EXPECT_EQ(HashFile(), "");

  // A connection that fails before its clean-up leaves no file either.
  Begin("h/a/b.jpg").reset();
  EXPECT_TRUE(ListFiles(program_folder).empty());
}

TEST_F(CaptureTest, ACompleteRunMovesTheFileToItsFolderAndListsIt) {
  const std::string content(1000, 'x');
  const std::uint32_t saved_before = monitor.Counters.SavedBytes();
  auto capture = Begin("h/a/b.jpg");
  EXPECT_TRUE(Logged("12 : Matched! "));
  EXPECT_TRUE(Logged("12 : Save Temporary File."));
  const std::string temp_name = capture->TempName();
  EXPECT_EQ(temp_name.substr(0, program_folder.size()), program_folder);
  EXPECT_TRUE(
      std::regex_match(temp_name.substr(program_folder.size()), std::regex("tx[0-9A-F]{4}\\.tmp")))
      << temp_name;
  capture->ShowCaptureNotice();
  EXPECT_EQ(Balloons().back(), img + "/b.jpgを一時保存しています...\nURL=http://h/a/b.jpg");
  capture->ShowCaptureStatus();
  EXPECT_EQ(views.status.Last(RecordingStatusView::kMessagePanel),
            img + "/b.jpgを一時保存しています URL=http://h/a/b.jpg");

  Feed(*capture, content);
  EXPECT_EQ(monitor.Counters.SavedBytes() - saved_before, 1000u);
  EXPECT_EQ(ReadFile(temp_name), content);
  capture->FinishCapture(Answer(0));
  EXPECT_FALSE(FileExists(temp_name));
  EXPECT_EQ(ReadFile(img + "/b.jpg"), content);
  EXPECT_EQ(HashFile(), HashLine(img + "/b.jpg", "h/a/b.jpg"));

  // The same content under another address is already stored.
  Run("h/c/d.jpg", content);
  EXPECT_EQ(Balloons().back(),
            "既に保存されているファイルとハッシュが一致したので保存しませんでした");
  EXPECT_EQ(ListFiles(img), std::vector<std::string>{"b.jpg"});
  EXPECT_TRUE(ListFiles(program_folder).empty());
  EXPECT_EQ(HashFile(), HashLine(img + "/b.jpg", "h/a/b.jpg"));
}

// A copy fetched inside an opened tunnel is listed with the mark that keeps it to requests inside
// opened tunnels; content known under either scheme is not kept twice.
TEST_F(CaptureTest, ACopyFromAnOpenedTunnelIsListedWithItsMark) {
  https = true;
  auto shown = Begin("h/s/b.jpg");
  shown->ShowCaptureNotice();
  EXPECT_EQ(Balloons().back(), img + "/b.jpgを一時保存しています...\nURL=https://h/s/b.jpg");
  shown->ShowCaptureStatus();
  EXPECT_EQ(views.status.Last(RecordingStatusView::kMessagePanel),
            img + "/b.jpgを一時保存しています URL=https://h/s/b.jpg");
  shown.reset();
  Run("h/s/b.jpg", "secure");
  https = false;
  Run("h/p/b.jpg", "secure");
  EXPECT_EQ(Balloons().back(),
            "既に保存されているファイルとハッシュが一致したので保存しませんでした");
  Run("h/p/c.jpg", "plain");
  https = true;
  Run("h/s/d.jpg", "plain");
  EXPECT_EQ(ListFiles(img).size(), 2u);
  EXPECT_EQ(HashFile(), HashLine(img + "/b.jpg", "h/s/b.jpg", "<>https") +
                            HashLine(img + "/c.jpg", "h/p/c.jpg"));
}

TEST_F(CaptureTest, EmptyAndLargeBodiesAreDigestedAsStored) {
  Run("h/e.jpg", "");
  EXPECT_EQ(ReadFile(img + "/e.jpg"), "");
  EXPECT_EQ(HashFile(), HashLine(img + "/e.jpg", "h/e.jpg"));
  Run("h/f.jpg", "");
  EXPECT_EQ(Balloons().back(),
            "既に保存されているファイルとハッシュが一致したので保存しませんでした");

  // Large enough to be digested while it is written, not after.
  std::string large(5 << 20, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7 + i / 4099);
  auto capture = Begin("h/large.jpg");
  Feed(*capture, large, 65536);
  capture->FinishCapture(Answer(0));
  EXPECT_EQ(HashFile(),
            HashLine(img + "/e.jpg", "h/e.jpg") + HashLine(img + "/large.jpg", "h/large.jpg"));
}

TEST_F(CaptureTest, TheFileNameComesFromTheAddressAndStaysInTheFolder) {
  struct Row {
    const char* address;
    const char* content_type;
    const char* target;  // in the folder
  };
  const Row rows[] = {
      {"h/jpg/b", "image/jpeg", "b"},  // not in the table: no extension
      {"h/jpg/b?x=1", "image/png", "b.png"},
      {"h/jpg/b.cgi", "image/png", "b.cgi"},  // a dot anywhere: nothing appended
      {"h/jpg/", "text/html; charset=utf-8", ".html"},
      {"h/jpg/", "application/octet-stream", "_"},
      {"h/jpg/..", "image/png", "_.."},
      {"h/jpg/..?x=1", "image/png", "_.."},
  };
  for (const Row& row : rows)
    EXPECT_EQ(Begin(row.address, row.content_type)->TargetName(), img + "/" + row.target)
        << row.address;
  EXPECT_TRUE(ListFiles(program_folder).empty());  // the captures went with their connections

  Run("h/jpg/..", "up");
  EXPECT_EQ(ReadFile(img + "/_.."), "up");
  EXPECT_EQ(ListFiles(temp.path()), std::vector<std::string>{"hash.dat"});
}

TEST_F(CaptureTest, TwoCapturesOfOneNameBothStoreAndListWhereTheyWent) {
  auto first = Begin("h/1/b.jpg");
  auto second = Begin("h/2/b.jpg");
  ASSERT_EQ(first->TargetName(), second->TargetName());
  Feed(*first, "one");
  Feed(*second, "two");
  first->FinishCapture(Answer(0));
  second->FinishCapture(Answer(0));
  EXPECT_EQ(ReadFile(img + "/b.jpg"), "one");
  EXPECT_EQ(ReadFile(img + "/b[0].jpg"), "two");
  EXPECT_TRUE(ListFiles(program_folder).empty());
  EXPECT_EQ(HashFile(),
            HashLine(img + "/b.jpg", "h/1/b.jpg") + HashLine(img + "/b[0].jpg", "h/2/b.jpg"));
}

// The folder is made when missing; when it goes while the answer comes, nothing is kept, the
// bytes counted for it are taken back, and the user is told which folder and why.
TEST_F(CaptureTest, AMissingFolderIsMadeAndOneGoneMeanwhileIsReported) {
  config = ConfigSavingTo(temp / "new/deep", TExecType::Save);
  Run("h/a/b.jpg", "data");
  EXPECT_EQ(ReadFile(temp / "new/deep/b.jpg"), "data");

  const std::uint32_t saved_before = monitor.Counters.SavedBytes();
  config = ConfigSavingTo(temp / "gone", TExecType::Save);
  auto capture = Begin("h/a/c.jpg");
  ASSERT_TRUE(FolderExists(temp / "gone"));
  ASSERT_EQ(::rmdir((temp / "gone").c_str()), 0);
  Feed(*capture, "other");
  capture->FinishCapture(Answer(0));
  EXPECT_FALSE(FileExists(capture->TempName()));
  EXPECT_TRUE(ListFiles(program_folder).empty());
  EXPECT_TRUE(Logged("12 : Cannot move " + capture->TempName() + " to " + temp / "gone/c.jpg" +
                     ": No such file or directory; not saved."));
  EXPECT_EQ(monitor.Counters.SavedBytes(), saved_before);
  const std::string told =
      "保存フォルダ" + temp / "gone" + "に保存できません (No such file or directory)";
  EXPECT_EQ(views.status.Last(RecordingStatusView::kMessagePanel), "Error: " + told);
  EXPECT_EQ(Balloons().back(), told + "\nURL=http://h/a/c.jpg");
  EXPECT_EQ(HashFile(), HashLine(temp / "new/deep/b.jpg", "h/a/b.jpg"));
}

TEST_F(CaptureTest, AListingThatFailsIsLoggedAndTheFileStaysStored) {
  temp.MakeFolder("hash.dat");  // cannot be read nor appended to
  Run("h/a/b.jpg", "data");
  EXPECT_EQ(ReadFile(img + "/b.jpg"), "data");
  const auto lines = views.log.Lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.rfind(
               "12 : Stored, but not listed in the hash list: cannot open " + hash_list.FilePath(),
               0) == 0;
  }));
}

// An address that would break its hash line is left out of it; the content is still known.
TEST_F(CaptureTest, AnAddressThatCannotBeListedIsListedWithoutIt) {
  const char* addresses[] = {"h/a<>b/c.jpg", "h/a\tb/d.jpg", "h/a<>.jpg"};
  std::string expected;
  int n = 0;
  for (const char* address : addresses) {
    const std::string content = "content " + std::to_string(n++);
    auto capture = Run(address, content);
    const std::string stored = capture->TargetName();
    EXPECT_EQ(ReadFile(stored), content) << address;
    expected += FileDigest(stored) + "<>" + stored + "<>" + std::to_string(content.size()) + "\r\n";
    Run("h/other.jpg", content);
    EXPECT_EQ(Balloons().back(),
              "既に保存されているファイルとハッシュが一致したので保存しませんでした");
  }
  EXPECT_EQ(ListFiles(img).size(), 3u);
  EXPECT_TRUE(FileExists(img + "/a__.jpg"));  // a name holding "<>" is made listable too
  EXPECT_EQ(HashFile(), expected);
}

TEST_F(CaptureTest, AnAnswerWithANegativeLengthIsNeverKept) {
  Capture capture(services, 12, config);
  TProxyRequest request;
  request.HostPath = "h/a/b.jpg";
  capture.Match(request);
  capture.StartCapture(request, Answer(-5));
  EXPECT_EQ(capture.CaptureCopy(), nullptr);
  EXPECT_TRUE(Logged("12 : Negative Content-Length; not saved."));
  capture.FinishCapture(Answer(0));  // the relay moved nothing and counts the body as done
  EXPECT_TRUE(ListFiles(program_folder).empty());
  EXPECT_TRUE(ListFiles(img).empty());
  EXPECT_EQ(HashFile(), "");
}

TEST_F(CaptureTest, WithSavingOffAMatchIsOnlyAnnounced) {
  save_available = false;
  auto capture = Begin("h/a/b.jpg");
  EXPECT_EQ(Balloons(), std::vector<std::string>{"URLh/a/b.jpgが一致しました\n"
                                                 "保存を有効にしていないので保存しません。"});
  EXPECT_EQ(capture->CaptureCopy(), nullptr);
  capture->ShowCaptureNotice();
  capture->FinishCapture(Answer(0));
  EXPECT_TRUE(ListFiles(program_folder).empty());
  EXPECT_EQ(Balloons().size(), 1u);

  // An answer other than 200 forgets the match before anything is said.
  Capture dropped(services, 13, config);
  TProxyRequest request;
  request.HostPath = "h/a/b.jpg";
  dropped.Match(request);
  dropped.DropMatch();
  dropped.StartCapture(request, Answer(-1));
  EXPECT_EQ(Balloons().size(), 1u);
  EXPECT_EQ(dropped.CaptureCopy(), nullptr);
}

TEST_F(CaptureTest, SaveAskStoresOnYesAndDeletesOnNo) {
  config->FirstCondition()->ExecType = TExecType::SaveAsk;
  temp.Write("img/b.jpg", "older");
  auto refused = Run("h/a/b.jpg", "no");
  EXPECT_EQ(question.asked, std::vector<std::string>{"Trovan!|ファイルb[0].jpgを保存しますか？\n"
                                                     "URL=http://h/a/b.jpg"});
  EXPECT_FALSE(FileExists(refused->TempName()));
  EXPECT_EQ(ListFiles(img), std::vector<std::string>{"b.jpg"});
  EXPECT_EQ(HashFile(), "");

  question.answer = true;
  Run("h/a/b.jpg", "yes");
  EXPECT_EQ(ReadFile(img + "/b[0].jpg"), "yes");
  EXPECT_EQ(HashFile(), HashLine(img + "/b[0].jpg", "h/a/b.jpg"));
}

TEST_F(CaptureTest, SaveAskFolderHandsTheBareNameToTheQueue) {
  config->FirstCondition()->ExecType = TExecType::SaveAskFolder;
  temp.Write("img/b.jpg", "older");
  chooser.choice = {FolderChoice::Kind::Save, std::nullopt, std::nullopt, ""};
  auto capture = Run("h/a/b.jpg", "new");
  ASSERT_EQ(chooser.shown.size(), 1u);
  EXPECT_EQ(chooser.shown[0].FileName, "b.jpg");
  EXPECT_EQ(chooser.shown[0].TempName, capture->TempName());
  EXPECT_EQ(chooser.shown[0].Condition.get(), config->FirstCondition());
  EXPECT_EQ(ReadFile(img + "/b[0].jpg"), "new");
  EXPECT_TRUE(ListFiles(program_folder).empty());
}

// Run under AddressSanitizer: the replaced settings must not be freed under the capture.
TEST_F(CaptureTest, ReplacedSettingsStayValidUntilTheCaptureIsDecided) {
  config->FirstCondition()->ExecType = TExecType::SaveAskFolder;
  SettingsHolder settings(std::move(config));
  const std::weak_ptr<TTxConfig> old = settings.Current();
  config = settings.Current();
  auto capture = Begin("h/a/b.jpg");
  config.reset();
  Feed(*capture, "kept");
  settings.Replace(ConfigSavingTo(temp / "other", TExecType::Save));
  ASSERT_FALSE(old.expired());

  const std::string added = temp.MakeFolder("added");
  chooser.choice = {FolderChoice::Kind::Save, std::nullopt, added, "new"};
  capture->FinishCapture(Answer(0));
  EXPECT_EQ(ReadFile(added + "/b.jpg"), "kept");
  ASSERT_EQ(chooser.shown.size(), 1u);
  EXPECT_EQ(chooser.shown[0].Condition->FolderCount(), 2u);
  chooser.shown.clear();
  capture.reset();
  EXPECT_TRUE(old.expired());  // and freed once the capture is done with it
}

TEST_F(CaptureTest, WithoutATemporaryFileTheAnswerIsRelayedAndTheProblemReportedOnce) {
  services.program_folder = temp / "missing/";
  const auto failures_logged = [&] {
    const auto lines = views.log.Lines();
    return std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
      return line.rfind("12 : Temporary file error: ", 0) == 0 &&
             line.find("; answers are relayed without saving.") != std::string::npos;
    });
  };
  const auto failures_shown = [&] {
    const auto texts = views.status.History(RecordingStatusView::kMessagePanel);
    return std::count(texts.begin(), texts.end(),
                      "Error: 一時ファイルを作成できません。保存せずに転送します。");
  };
  for (int i = 0; i < 3; ++i) {
    auto capture = Begin("h/a/b.jpg");
    EXPECT_EQ(capture->CaptureCopy(), nullptr);
    capture->ShowCaptureNotice();
    capture->FinishCapture(Answer(0));
  }
  EXPECT_EQ(failures_logged(), 1);
  EXPECT_EQ(failures_shown(), 1);
  EXPECT_TRUE(ListFiles(img).empty());

  // A file made again re-arms the report.
  temp.MakeFolder("missing");
  Run("h/a/b.jpg", "saved");
  EXPECT_EQ(ReadFile(img + "/b.jpg"), "saved");
  services.program_folder = temp / "still-missing/";
  Begin("h/a/c.jpg");
  EXPECT_EQ(failures_logged(), 2);
  EXPECT_EQ(failures_shown(), 2);
}

}  // namespace
}  // namespace trovanex

namespace trovanex {
namespace {

// A compressed answer is kept as the content itself, whatever coding it came in; a body that
// cannot be decoded whole is not kept at all, with one log line and a status message.
struct CodingRow {
  const char* name;
  const char* encoding;
  std::string (*encode)(const std::string&);
  const char* problem;  // how the reason begins; empty: kept
};

class CaptureCodingTest : public CaptureTest, public ::testing::WithParamInterface<CodingRow> {};

std::string Corrupt(std::string body) {
  for (std::size_t i = body.size() / 3; i < body.size() / 3 + 64; ++i) body[i] ^= 0x5A;
  return body;
}

TEST_P(CaptureCodingTest, KeepsTheDecodedContentOrNothing) {
  const CodingRow& row = GetParam();
  services.min_decoded_limit = 1 << 20;
  const std::string content = testing::PageText(400000);
  auto capture = Begin("h/page.jpg", "text/html", row.encoding);
  if (capture->CaptureCopy()) Feed(*capture, row.encode(content), 4096);  // else known at once
  capture->FinishCapture(Answer(0));

  const std::string stored = img + "/page.jpg";
  if (std::string(row.problem).empty()) {
    EXPECT_TRUE(ReadFile(stored) == content);
    EXPECT_EQ(HashFile(), HashLine(stored, "h/page.jpg"));
    EXPECT_EQ(monitor.Counters.SavedBytes(), content.size()) << "the saved figure counts content";
  } else {
    EXPECT_FALSE(FileExists(stored));
    EXPECT_EQ(HashFile(), "");
    const auto begins = [](const std::vector<std::string>& lines, const std::string& start) {
      return std::count_if(lines.begin(), lines.end(),
                           [&](const std::string& line) { return line.rfind(start, 0) == 0; });
    };
    EXPECT_EQ(begins(views.log.Lines(), std::string("12 : Not saved: ") + row.problem), 1)
        << ::testing::PrintToString(views.log.Lines());
    EXPECT_EQ(begins(views.status.History(RecordingStatusView::kMessagePanel),
                     std::string("Error: 保存しませんでした (") + row.problem),
              1);
  }
  EXPECT_TRUE(ListFiles(program_folder).empty()) << "a temporary file stayed";
}

INSTANTIATE_TEST_SUITE_P(
    Codings, CaptureCodingTest,
    ::testing::Values(
        CodingRow{"Gzip", "gzip", [](const std::string& in) { return testing::Gzip(in); }, ""},
        CodingRow{"DeflateRaw", "deflate",
                  [](const std::string& in) { return testing::Zlib(in, -15); }, ""},
        CodingRow{"Brotli", "br", [](const std::string& in) { return testing::Brotli(in); }, ""},
        CodingRow{"Zstd", "zstd", [](const std::string& in) { return testing::Zstd(in); }, ""},
        CodingRow{"GzipThenBrotli", "gzip, br",
                  [](const std::string& in) { return testing::Brotli(testing::Gzip(in)); }, ""},
        CodingRow{"CorruptGzip", "gzip",
                  [](const std::string& in) { return Corrupt(testing::Gzip(in)); },
                  "corrupt gzip data"},
        CodingRow{"TruncatedZstd", "zstd",
                  [](const std::string& in) {
                    const std::string body = testing::Zstd(in);
                    return body.substr(0, body.size() / 2);
                  },
                  "truncated zstd data"},
        CodingRow{"UnknownCoding", "compress", [](const std::string& in) { return in; },
                  "unknown content coding \"compress\""},
        CodingRow{"Bomb", "gzip",
                  [](const std::string&) { return testing::Gzip(std::string(8 << 20, 'a')); },
                  "decoded size over 1048576 bytes"}),
    [](const auto& row) { return std::string(row.param.name); });

// A decoded copy that cannot be written whole (the disk full, a file size limit) is not kept in
// part, and the log says why: the coded body fits under the limit, the content does not. The
// small one fails at its last piece, the large one in the middle.
TEST_F(CaptureTest, ADecodedCopyThatCannotBeWrittenIsNotKept) {
  for (const std::size_t size : {std::size_t{400000}, std::size_t{4} << 20}) {
    SCOPED_TRACE(size);
    const std::string body = testing::Gzip(testing::PageText(size));
    const rlim_t limit = size / 3;
    ASSERT_LT(body.size(), limit);
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    rlimit limited = before;
    limited.rlim_cur = limit;
    const auto old_signal = std::signal(SIGXFSZ, SIG_IGN);  // a write past it fails: EFBIG
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    auto capture = Begin("h/page.jpg", "text/html", "gzip");
    Feed(*capture, body, 4096);
    capture->FinishCapture(Answer(0));
    ::setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, old_signal);

    EXPECT_FALSE(FileExists(img + "/page.jpg"));
    EXPECT_EQ(HashFile(), "");
    EXPECT_EQ(views.log.Lines().back(), "12 : Not saved: decoded content not written")
        << ::testing::PrintToString(views.log.Lines());
    EXPECT_TRUE(ListFiles(program_folder).empty()) << "a temporary file stayed";
  }
}

// The type an answer came with goes out again with the answers from its stored copy; a copy kept
// decoded keeps it too, since decoding leaves the content what it was.
TEST_F(CaptureTest, TheAnswersContentTypeIsKeptOnTheStoredFile) {
  const std::string probe = temp.Write("probe", "");
  if (::setxattr(probe.c_str(), kContentTypeAttribute, "x", 1, 0) != 0)
    GTEST_SKIP() << "the file system refuses user attributes";
  const struct {
    const char* address;
    const char* type;
    const char* encoding;
    const char* kept;  // nullptr: no attribute
  } rows[] = {
      {"h/a.jpg", "text/javascript; charset=utf-8", "", "text/javascript; charset=utf-8"},
      {"h/b.jpg", "text/html", "gzip", "text/html"},
      {"h/c.jpg", "", "", nullptr},
  };
  for (const auto& row : rows) {
    const std::string content = std::string("content of ") + row.address;
    auto capture = Begin(row.address, row.type, row.encoding);
    Feed(*capture, std::string(row.encoding).empty() ? content : testing::Gzip(content));
    capture->FinishCapture(Answer(0));
    const std::string stored = img + "/" + std::string(row.address).substr(2);
    ASSERT_EQ(ReadFile(stored), content) << row.address;
    std::string kept(kMaxContentTypeLength, '\0');
    const ssize_t length =
        ::getxattr(stored.c_str(), kContentTypeAttribute, kept.data(), kept.size());
    kept.resize(length < 0 ? 0 : static_cast<std::size_t>(length));
    if (row.kept)
      EXPECT_EQ(kept, row.kept) << row.address;
    else
      EXPECT_LT(length, 0) << row.address << ": " << kept;
  }
}

TEST_F(CaptureTest, StoredContentIsKnownWhateverCodingItArrivesIn) {
  const std::string content = testing::PageText(50000);
  auto first = Begin("h/a.jpg", "text/html", "br");
  Feed(*first, testing::Brotli(content));
  first->FinishCapture(Answer(0));
  ASSERT_TRUE(ReadFile(img + "/a.jpg") == content);

  for (const auto& [address, coding, body] :
       {std::tuple{"h/b.jpg", "", content},
        std::tuple{"h/c.jpg", "gzip", testing::Gzip(content)}}) {
    auto again = Begin(address, "text/html", coding);
    Feed(*again, body);
    again->FinishCapture(Answer(0));
  }
  const std::vector<std::string> balloons = Balloons();
  EXPECT_EQ(std::count(balloons.begin(), balloons.end(),
                       "既に保存されているファイルとハッシュが一致したので保存しませんでした"),
            2);
  EXPECT_FALSE(FileExists(img + "/b.jpg"));
}

}  // namespace
}  // namespace trovanex
