// Bodies in every content coding an origin may use, fed in small pieces as they arrive: what
// comes out is the content itself, and a body that cannot be decoded whole is a failure that
// says why, never half a result taken for the content.
#include "model/content_decoding.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <functional>
#include <string>

#include "support/content_codings.h"

namespace trovanex {
namespace {

using testing::Brotli;
using testing::Gzip;
using testing::Zlib;
using testing::Zstd;
const auto Page = testing::PageText;

struct Decoded {
  bool ok = false;
  std::string content;
  std::string problem;
};

// Feeds one byte at a time first (headers split anywhere), then larger pieces.
Decoded Decode(const std::string& encoding, std::string_view body,
               std::uint64_t min_limit = kMinDecodedLimit) {
  Decoded result;
  auto decoder = ContentDecoder::ForEncoding(encoding, result.problem, min_limit);
  if (!decoder) return result;
  const auto keep = [&](std::string_view bytes) {
    result.content.append(bytes);
    return true;
  };
  bool ok = true;
  for (std::size_t at = 0, piece = 1; ok && at < body.size();
       at += piece, piece = at < 16 ? 1 : 4093)
    ok = decoder->Feed(body.substr(at, piece), keep);
  result.ok = ok && decoder->Finish();
  result.problem = decoder->Problem();
  return result;
}

struct EncodingRow {
  const char* name;
  std::string encoding;
  std::function<std::string(const std::string&)> encode;
};

class EncodingTest : public ::testing::TestWithParam<EncodingRow> {};

TEST_P(EncodingTest, DecodesToTheContentAndRefusesACutOrCorruptBody) {
  const EncodingRow& row = GetParam();
  const std::string content = Page(300000);
  const std::string body = row.encode(content);
  ASSERT_LT(body.size(), content.size());

  const Decoded whole = Decode(row.encoding, body);
  EXPECT_TRUE(whole.ok) << whole.problem;
  EXPECT_TRUE(whole.content == content);

  const Decoded cut = Decode(row.encoding, std::string_view(body).substr(0, body.size() * 2 / 3));
  EXPECT_FALSE(cut.ok);
  EXPECT_NE(cut.problem, "");

  std::string corrupt = body;
  for (std::size_t i = body.size() / 3; i < body.size() / 3 + 64; ++i) corrupt[i] ^= 0x5A;
  const Decoded bad = Decode(row.encoding, corrupt);
  EXPECT_FALSE(bad.ok && bad.content == content) << "a corrupt body passed for the content";
  if (!bad.ok) {
    EXPECT_NE(bad.problem, "");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Codings, EncodingTest,
    ::testing::Values(EncodingRow{"Gzip", "gzip", Gzip}, EncodingRow{"XGzip", "x-gzip", Gzip},
                      EncodingRow{"DeflateZlibWrapped", "deflate",
                                  [](const std::string& in) { return Zlib(in, MAX_WBITS); }},
                      EncodingRow{"DeflateRaw", "Deflate",
                                  [](const std::string& in) { return Zlib(in, -MAX_WBITS); }},
                      EncodingRow{"Brotli", "br", Brotli}, EncodingRow{"Zstd", "zstd", Zstd},
                      EncodingRow{"GzipThenBrotli", "gzip, br",
                                  [](const std::string& in) { return Brotli(Gzip(in)); }},
                      EncodingRow{"IdentityInTheList", "identity,zstd , identity", Zstd},
                      EncodingRow{"TwoGzipMembers", "gzip",
                                  [](const std::string& in) {
                                    return Gzip(in.substr(0, 1000)) + Gzip(in.substr(1000));
                                  }}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(ContentDecoding, NoCodingAndUnknownCodings) {
  std::string problem;
  EXPECT_EQ(ContentDecoder::ForEncoding("", problem), nullptr);
  EXPECT_EQ(ContentDecoder::ForEncoding("identity", problem), nullptr);
  EXPECT_EQ(problem, "");
  EXPECT_EQ(ContentDecoder::ForEncoding("gzip, compress", problem), nullptr);
  EXPECT_EQ(problem, "unknown content coding \"compress\"");
}

TEST(ContentDecoding, ABombStopsAtTheLimitAndAnOrdinaryPageDoesNot) {
  const std::string zeros(20 << 20, '\0');  // 20 MiB that shrink a thousandfold
  const Decoded bomb = Decode("gzip", Gzip(zeros), 1 << 20);
  EXPECT_FALSE(bomb.ok);
  EXPECT_NE(bomb.problem.find("decoded size over"), std::string::npos) << bomb.problem;
  EXPECT_LE(bomb.content.size(), 1u << 20) << "more than the limit came out";

  const std::string page = Page(4 << 20);
  const Decoded ordinary = Decode("br", Brotli(page), 1 << 20);
  EXPECT_TRUE(ordinary.ok) << ordinary.problem;
  EXPECT_EQ(ordinary.content.size(), page.size());
}

TEST(ContentDecoding, DataAfterTheEndIsNotTheContent) {
  const std::string page = Page(5000);
  EXPECT_FALSE(Decode("deflate", Zlib(page, MAX_WBITS) + "junk").ok);
  EXPECT_FALSE(Decode("br", Brotli(page) + "junk").ok);
  EXPECT_FALSE(Decode("gzip", Gzip(page) + "junk").ok);
  EXPECT_FALSE(Decode("gzip", "").ok) << "an empty body is no gzip data";
}

}  // namespace
}  // namespace trovanex
