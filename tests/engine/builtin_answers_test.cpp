// Answers the proxy makes without an origin, over loopback: its resources under the reserved
// host and addresses saved before, answered from the stored file. An upstream proxy stands
// ready in every test to show that none of these answers reaches it.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/xattr.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "engine/content_types.h"
#include "engine/resources.h"
#include "support/engine_harness.h"
#include "support/loopback_origin.h"
#include "support/raw_browser.h"

namespace trovanex::testing {
namespace {

constexpr char kUpstreamAnswer[] = "HTTP/1.1 200 OK\r\nContent-Length: 8\r\n\r\nupstream";
constexpr char kRelayedAnswer[] =
    "HTTP/1.1 200 OK\r\nContent-Length: 8\r\nConnection: close\r\n\r\nupstream";

std::string ResourceHost() {
  return kResourceHost;
}

std::string Resource(const char* type, const char* name) {
  const auto bytes = LookupResource(type, name);
  EXPECT_TRUE(bytes) << type << " " << name;
  return bytes ? std::string(*bytes) : std::string();
}

std::string Found(const std::string& version, const std::string& type, const std::string& body) {
  return version + " 200 ok\r\nContent-Type: " + type +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
         body;
}

struct ResourceCase {
  const char* name;
  std::string request;
  std::string answer;
};

void PrintTo(const ResourceCase& row, std::ostream* out) {
  *out << row.name;
}

class ResourceAnswerTest : public ::testing::TestWithParam<ResourceCase> {};

TEST_P(ResourceAnswerTest, AnswersFromTheProgramsOwnResources) {
  const ResourceCase& row = GetParam();
  EngineHarness proxy;
  ScriptedOrigin upstream(Answer(kUpstreamAnswer));
  proxy.UseUpstreamProxy(upstream.Port());

  EXPECT_EQ(Exchange(proxy.Port(), row.request), row.answer);
  ASSERT_TRUE(proxy.WaitForEnded(1));
  EXPECT_EQ(upstream.ConnectionCount(), 0u);
  EXPECT_EQ(proxy.LogLines().back(), "1 : << Connection end >>");
}

std::vector<ResourceCase> ResourceCases() {
  const std::string logo = Resource("PNG", "TROVANEXLOGO");
  const std::string not_found = "HTTP/1.1 404 Not found.\r\nConnection: close\r\n\r\n";
  const auto get = [](const std::string& path, const char* version = "HTTP/1.1") {
    return "GET http://" + ResourceHost() + path + " " + version + "\r\nHost: " + ResourceHost() +
           "\r\n\r\n";
  };
  return {
      {"Logo", get("/trovanexlogo.png"), Found("HTTP/1.1", "image/png", logo)},
      {"LogoUpperCaseName", get("/TROVANEXLOGO.png"), Found("HTTP/1.1", "image/png", logo)},
      {"LogoUpperCaseExtensionHasNoType", get("/trovanexlogo.PNG"), Found("HTTP/1.1", "", logo)},
      {"LogoForVersion10", get("/trovanexlogo.png", "HTTP/1.0"),
       Found("HTTP/1.0", "image/png", logo)},
      {"QueryBelongsToTheExtension", get("/trovanexlogo.png?x=1"), not_found},
      {"Root", get("/"), not_found},
      {"NoExtension", get("/nothing"), not_found},
      {"OtherTypeOfTheSameName", get("/trovanexlogo.jpg"), not_found},
      {"HostNotFoundPage", get("/HostNotFoundHTML.text"),
       Found("HTTP/1.1", "", Resource("TEXT", "HostNotFoundHTML"))},
      {"ConnectTimeoutPage", get("/connecttimeouthtml.TEXT"),
       Found("HTTP/1.1", "", Resource("TEXT", "ConnectTimeoutHTML"))},
      {"BodyIsReadAndIgnored",
       "POST http://" + ResourceHost() +
           "/trovanexlogo.png HTTP/1.1\r\nContent-Length: 5\r\n\r\nabcde",
       Found("HTTP/1.1", "image/png", logo)},
  };
}

INSTANTIATE_TEST_SUITE_P(Paths, ResourceAnswerTest, ::testing::ValuesIn(ResourceCases()),
                         [](const ::testing::TestParamInfo<ResourceCase>& row) {
                           return row.param.name;
                         });

TEST(ResourceAnswer, HostIsComparedExactly) {
  EngineHarness proxy;
  ScriptedOrigin upstream(Answer(kUpstreamAnswer));
  proxy.UseUpstreamProxy(upstream.Port());
  const std::string request =
      "GET http://TROVANEX.INTERNAL/trovanexlogo.png HTTP/1.1\r\nHost: TROVANEX.INTERNAL\r\n\r\n";
  EXPECT_EQ(Exchange(proxy.Port(), request), kRelayedAnswer);
  ASSERT_TRUE(upstream.WaitForPeerClose());
  EXPECT_EQ(upstream.Received(), request);
}

// A stored file in pieces of every BufferSize, those below 1 taken as 32767.
class LocalFileTest : public ::testing::TestWithParam<int> {};

TEST_P(LocalFileTest, StoredFileIsAnsweredWithoutTheOrigin) {
  EngineHarness proxy;
  proxy.Settings().BufferSize = GetParam();
  ScriptedOrigin upstream(Answer(kUpstreamAnswer));
  proxy.UseUpstreamProxy(upstream.Port());
  std::string content(70000, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i % 253);
  proxy.hash_list.AppendHash(proxy.folder.Write("saved/x.jpg", content), "a.b/x.jpg");

  const std::string answer = Exchange(proxy.Port(), "GET http://a.b/x.jpg HTTP/1.0\r\n\r\n");
  const std::string expected =
      "HTTP/1.0 200 Ok\r\nContent-Type: image/jpeg\r\nContent-Length: 70000\r\nConnection: "
      "close\r\n\r\n" +
      content;
  EXPECT_EQ(answer.size(), expected.size());
  EXPECT_TRUE(answer == expected) << answer.substr(0, 60);

  ASSERT_TRUE(proxy.WaitForEnded(1));
  EXPECT_EQ(upstream.ConnectionCount(), 0u);
  const auto balloons = proxy.views.balloons.Shown();
  ASSERT_EQ(balloons.size(), 1u);
  EXPECT_EQ(balloons[0].title, "trovan!");
  EXPECT_EQ(balloons[0].text, "http://a.b/x.jpgを実ファイルから読み出し中…");
}

INSTANTIATE_TEST_SUITE_P(BufferSizes, LocalFileTest, ::testing::Values(32767, 1000, 0, -1));

TEST(LocalFile, EmptyFileGetsTheHeadAlone) {
  EngineHarness proxy;
  proxy.hash_list.AppendHash(proxy.folder.Write("saved/empty.gif", ""), "a.b/empty.gif");
  EXPECT_EQ(Exchange(proxy.Port(), "GET http://a.b/empty.gif HTTP/1.1\r\n\r\n"),
            "HTTP/1.1 200 Ok\r\nContent-Type: image/gif\r\nContent-Length: 0\r\nConnection: "
            "close\r\n\r\n");
}

// A browser refuses a module script, and with strict types any script or stylesheet, that comes
// without its type: the one the copy arrived with, else its extension's, else no line at all.
TEST(LocalFile, AnswersCarryTheKeptOrTheExtensionsContentType) {
  const std::string longest = "a/" + std::string(kMaxContentTypeLength - 2, 'x');
  const struct {
    const char* name;
    const char* file;  // in saved/
    std::optional<std::string> kept;
    std::optional<std::string> type;  // nothing: no Content-Type line
  } rows[] = {
      {"module script", "app.mjs", std::nullopt, "text/javascript"},
      {"upper-case extension", "LOGO.PNG", std::nullopt, "image/png"},
      {"the last dot decides", "app.min.js", std::nullopt, "text/javascript"},
      {"unknown extension", "data.bin", std::nullopt, std::nullopt},
      {"no extension", "data", std::nullopt, std::nullopt},
      {"a dot in a folder only", "v1.css/data", std::nullopt, std::nullopt},
      {"kept type before the extension's", "page.html", "text/plain; charset=utf-8",
       "text/plain; charset=utf-8"},
      {"kept type without an extension", "data", "application/x-thing", "application/x-thing"},
      {"kept type of the longest length", "a.js", longest, longest},
      {"kept type one byte too long", "b.js", longest + "x", "text/javascript"},
      {"kept type with a line end", "c.js", "text/html\r\nSet-Cookie: a=b", "text/javascript"},
      {"kept type with a control byte", "d.css", "text/css\x01", "text/css"},
      {"kept type blank", "e", " ", std::nullopt},
  };
  EngineHarness proxy;
  const std::string probe = proxy.folder.Write("probe", "");
  const bool attributes = ::setxattr(probe.c_str(), kContentTypeAttribute, "x", 1, 0) == 0;
  int skipped = 0;
  for (const auto& row : rows) {
    if (row.kept && !attributes) {
      ++skipped;
      continue;
    }
    const std::string path = proxy.folder.Write(std::string("saved/") + row.file, row.name);
    if (row.kept) {
      ASSERT_EQ(
          ::setxattr(path.c_str(), kContentTypeAttribute, row.kept->data(), row.kept->size(), 0), 0)
          << row.name;
    }
    const std::string address = std::string("a.b/") + row.file;
    proxy.hash_list.AppendHash(path, address);
    EXPECT_EQ(Exchange(proxy.Port(), "GET http://" + address + " HTTP/1.1\r\n\r\n"),
              "HTTP/1.1 200 Ok\r\n" + (row.type ? "Content-Type: " + *row.type + "\r\n" : "") +
                  "Content-Length: " + std::to_string(std::strlen(row.name)) +
                  "\r\nConnection: close\r\n\r\n" + row.name)
        << row.name;
  }
  if (skipped > 0) GTEST_SKIP() << skipped << " rows: the file system refuses user attributes";
}

TEST(LocalFile, RemovedFileSendsTheRequestUpstream) {
  EngineHarness proxy;
  ScriptedOrigin upstream(Answer(kUpstreamAnswer));
  proxy.UseUpstreamProxy(upstream.Port());
  const std::string path = proxy.folder.Write("saved/x.jpg", "stored");
  proxy.hash_list.AppendHash(path, "a.b/x.jpg");
  std::filesystem::remove(path);

  EXPECT_EQ(Exchange(proxy.Port(), "GET http://a.b/x.jpg HTTP/1.1\r\n\r\n"), kRelayedAnswer);
  EXPECT_EQ(upstream.ConnectionCount(), 1u);
  EXPECT_TRUE(proxy.views.balloons.Shown().empty());
}

// Anything but a regular file reached by its own name is taken for a missing file: a pipe would
// block the answer for ever, and a link in the last component may lead anywhere.
TEST(LocalFile, OnlyARegularFileIsServed) {
  struct Row {
    const char* name;
    std::function<void(const std::string& path)> replace;
  };
  const Row rows[] = {
      {"named pipe", [](const std::string& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0); }},
      {"link to a stored file",
       [](const std::string& path) { std::filesystem::create_symlink(path + ".kept", path); }},
      {"link to a device",
       [](const std::string& path) { std::filesystem::create_symlink("/dev/zero", path); }},
  };
  for (const Row& row : rows) {
    EngineHarness proxy;
    ScriptedOrigin upstream(Answer(kUpstreamAnswer));
    proxy.UseUpstreamProxy(upstream.Port());
    const std::string path = proxy.folder.Write("saved/x.jpg", "stored");
    proxy.hash_list.AppendHash(path, "a.b/x.jpg");
    std::filesystem::rename(path, path + ".kept");
    row.replace(path);

    EXPECT_EQ(Exchange(proxy.Port(), "GET http://a.b/x.jpg HTTP/1.1\r\n\r\n"), kRelayedAnswer)
        << row.name;
    EXPECT_EQ(upstream.ConnectionCount(), 1u) << row.name;
    EXPECT_TRUE(proxy.views.balloons.Shown().empty()) << row.name;
  }

  // A link higher up the path (the save folder itself) is followed as before.
  EngineHarness proxy;
  proxy.folder.Write("saved/x.jpg", "stored");
  std::filesystem::create_directory_symlink(proxy.folder / "saved", proxy.folder / "linked");
  proxy.hash_list.AppendHash(proxy.folder / "linked/x.jpg", "a.b/x.jpg");
  EXPECT_EQ(Exchange(proxy.Port(), "GET http://a.b/x.jpg HTTP/1.1\r\n\r\n"),
            "HTTP/1.1 200 Ok\r\nContent-Type: image/jpeg\r\nContent-Length: 6\r\nConnection: "
            "close\r\n\r\nstored");
}

}  // namespace
}  // namespace trovanex::testing
