#include "engine/resources.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <cstdint>
#include <string>
#include <vector>

namespace trovanex {
namespace {

// The UTF-8 text converted by the C library, so the expected bytes do not come from the same
// conversion that made the resource files.
std::string ToShiftJis(const std::string& utf8) {
  iconv_t cd = ::iconv_open("SHIFT_JIS", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    ADD_FAILURE() << "no Shift-JIS conversion";
    return {};
  }
  std::string in = utf8;
  std::string out(in.size() * 2, '\0');
  char* in_ptr = in.data();
  char* out_ptr = out.data();
  std::size_t in_left = in.size();
  std::size_t out_left = out.size();
  const std::size_t result = ::iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left);
  ::iconv_close(cd);
  EXPECT_NE(result, static_cast<std::size_t>(-1)) << "conversion failed";
  out.resize(out.size() - out_left);
  return out;
}

// Lines joined by CR LF, none after the last.
std::string Page(const std::vector<std::string>& lines) {
  std::string page;
  for (const std::string& line : lines) {
    if (!page.empty()) page += "\r\n";
    page += line;
  }
  return page;
}

TEST(ResourceTest, ConnectTimeoutPageIsTheShiftJisPageOf225Bytes) {
  const std::string expected = ToShiftJis(Page({
      "<html>",
      "<head>",
      "<title>Connection Timed out</title>",
      "</head>",
      "<body>",
      "<h1>Connection Timed out</h1>",
      "<hr>",
      "<p>接続がタイムアウトしました。向こう死んでませんか。</p>",
      "<h5><em>Trovanex 内部メッセージ</em></h5>",
      "</body>",
      "</html>",
  }));
  const ErrorPages pages = LoadErrorPages();
  EXPECT_EQ(pages.ConnectTimeoutPage.size(), 225u);
  EXPECT_EQ(std::string(pages.ConnectTimeoutPage), expected);
}

TEST(ResourceTest, HostNotFoundPageIsTheShiftJisPageLinkingTheLogo) {
  const std::string expected = ToShiftJis(Page({
      "<html>",
      "<head>",
      "<title>ドメインネームが解決できませんでした</title>",
      "</head>",
      "<body>",
      "<h1>Host name not found.</h1>",
      "<hr>",
      "<img src=\"http://trovanex.internal/trovanexlogo.png\" style=\"float:left\" />",
      "<p>ドメインネームが見つからず解決できませんでした。"
      "ちゃんと入力したURLが正しいかチェックしてください。</p>",
      "<br style=\"float: none\" />",
      "<h5><em>Trovanex 内部メッセージ</em></h5>",
      "</body>",
      "</html>",
  }));
  const ErrorPages pages = LoadErrorPages();
  EXPECT_EQ(std::string(pages.HostNotFoundPage), expected);
  // The logo the page shows is served under the same host.
  EXPECT_NE(pages.HostNotFoundPage.find(std::string("http://") + kResourceHost + "/"),
            std::string_view::npos);
}

TEST(ResourceTest, PagesHaveOnlyCrLfLineEndsAndNoneAfterTheLastLine) {
  const ErrorPages pages = LoadErrorPages();
  for (const std::string_view page : {pages.ConnectTimeoutPage, pages.HostNotFoundPage}) {
    EXPECT_TRUE(page.starts_with("<html>\r\n"));
    EXPECT_TRUE(page.ends_with("\r\n</html>"));
    for (std::size_t i = 0; i < page.size(); ++i) {
      if (page[i] == '\n') {
        EXPECT_TRUE(i > 0 && page[i - 1] == '\r') << "LF without CR at " << i;
      } else if (page[i] == '\r') {
        EXPECT_TRUE(i + 1 < page.size() && page[i + 1] == '\n') << "CR without LF at " << i;
      }
    }
  }
}

TEST(ResourceTest, LookupIgnoresCaseOfTypeAndName) {
  const auto page = LookupResource("TEXT", "HostNotFoundHTML");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->data(), LoadErrorPages().HostNotFoundPage.data());
  for (const auto& [type, name] :
       std::vector<std::pair<const char*, const char*>>{{"text", "HOSTNOTFOUNDHTML"},
                                                        {"Text", "hostnotfoundhtml"},
                                                        {"tExT", "HostNotFoundHtml"}}) {
    const auto found = LookupResource(type, name);
    ASSERT_TRUE(found) << type << " " << name;
    EXPECT_EQ(found->data(), page->data());
    EXPECT_EQ(found->size(), page->size());
  }
  EXPECT_TRUE(LookupResource("png", "TrovanexLogo"));
  EXPECT_TRUE(LookupResource("text", "connecttimeouthtml"));
}

TEST(ResourceTest, UnknownTypeOrNameFindsNothing) {
  const std::vector<std::pair<const char*, const char*>> misses = {
      {"TEXT", "TROVANEXLOGO"},       // right name, wrong type
      {"PNG", "HOSTNOTFOUNDHTML"},    // right name, wrong type
      {"PNG?X=1", "TROVANEXLOGO"},    // a query string stays part of the type
      {"PNG", "TROVANEXLOGO.PNG"},    // the name has no extension
      {"TEXT", "HOSTNOTFOUND"},       // a prefix is not the name
      {"TEXT", "HOSTNOTFOUNDHTMLX"},  // nor is a longer text
      {"", ""},
      {"JPG", "TROVANEXLOGO"},
  };
  for (const auto& [type, name] : misses) {
    EXPECT_FALSE(LookupResource(type, name)) << type << " " << name;
  }
}

std::uint32_t BigEndian32(std::string_view bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i)
    value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

TEST(ResourceTest, LogoIsA50By50RgbaPng) {
  const auto logo = LookupResource("PNG", "TROVANEXLOGO");
  ASSERT_TRUE(logo);
  ASSERT_GT(logo->size(), 33u);
  EXPECT_EQ(logo->substr(0, 8), std::string_view("\x89PNG\r\n\x1a\n", 8));
  EXPECT_EQ(BigEndian32(*logo, 8), 13u);  // IHDR length
  EXPECT_EQ(logo->substr(12, 4), "IHDR");
  EXPECT_EQ(BigEndian32(*logo, 16), 50u);
  EXPECT_EQ(BigEndian32(*logo, 20), 50u);
  EXPECT_EQ(static_cast<unsigned char>((*logo)[24]), 8);  // bits per channel
  EXPECT_EQ(static_cast<unsigned char>((*logo)[25]), 6);  // colour type: RGBA
  EXPECT_TRUE(logo->ends_with(std::string_view("IEND\xae\x42\x60\x82", 8)));
}

}  // namespace
}  // namespace trovanex
