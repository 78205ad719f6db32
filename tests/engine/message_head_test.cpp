#include "engine/message_head.h"

#include <gtest/gtest.h>

namespace trovanex {
namespace {

using namespace std::string_view_literals;

std::vector<std::string> Head(std::string_view first,
                              std::initializer_list<std::string_view> lines) {
  std::vector<std::string> head{std::string(first)};
  for (const std::string_view line : lines) head.emplace_back(line);
  head.emplace_back();
  return head;
}

// A request head and how it must be read: its framing, or the status that refuses it.
struct RequestRow {
  const char* name;
  std::vector<std::string_view> lines;
  int status;  // 0: accepted
  Framing framing = Framing::kNone;
  std::int64_t length = 0;
  const char* version = "HTTP/1.1";
  const char* method = "POST";
};

class RequestHeadTest : public ::testing::TestWithParam<RequestRow> {};

TEST_P(RequestHeadTest, HasOneReadingOrIsRefused) {
  const RequestRow& row = GetParam();
  std::vector<std::string> head{std::string(row.method) + " /x " + row.version};
  for (const std::string_view line : row.lines) head.emplace_back(line);
  head.emplace_back();
  const HeadReading reading = FrameRequestHead(head, row.method, row.version);
  if (row.status != 0) {
    ASSERT_TRUE(reading.fault);
    EXPECT_EQ(reading.fault->status, row.status) << reading.fault->reason;
    EXPECT_FALSE(reading.fault->reason.empty());
    return;
  }
  ASSERT_FALSE(reading.fault) << reading.fault->reason;
  EXPECT_EQ(reading.framing.kind, row.framing);
  EXPECT_EQ(reading.framing.length, row.length);
}

INSTANTIATE_TEST_SUITE_P(
    Heads, RequestHeadTest,
    ::testing::Values(
        // What browsers and upload tools send.
        RequestRow{"NoBody", {"Host: a.b", "Accept: */*"}, 0, Framing::kNone, 0, "HTTP/1.1", "GET"},
        RequestRow{"Length", {"Host: a.b", "content-length: 11"}, 0, Framing::kLength, 11},
        RequestRow{"ZeroLength", {"Host: a.b", "Content-Length: 0"}, 0, Framing::kNone},
        RequestRow{"Chunked", {"Host: a.b", "Transfer-Encoding: Chunked"}, 0, Framing::kChunked},
        RequestRow{"CodingThenChunked",
                   {"Host: a.b", "Transfer-Encoding: gzip, chunked"},
                   0,
                   Framing::kChunked},
        RequestRow{"CodingsOverTwoLines",
                   {"Host: a.b", "Transfer-Encoding: gzip", "Transfer-Encoding: chunked"},
                   0,
                   Framing::kChunked},
        RequestRow{"SameLengthTwice",
                   {"Host: a.b", "Content-Length: 5", "Content-Length: 05"},
                   0,
                   Framing::kLength,
                   5},
        RequestRow{"ValueWithTabsAndHighBytes", {"Host: a.b", "X-Name:\tcaf\xc3\xa9\t"}, 0},
        RequestRow{"Http10WithoutHost", {}, 0, Framing::kNone, 0, "HTTP/1.0", "GET"},
        RequestRow{"ConnectWithoutBody",
                   {"Host: a.b:443", "Content-Length: 0"},
                   0,
                   Framing::kNone,
                   0,
                   "HTTP/1.1",
                   "CONNECT"},
        // Two readings: the origin could find another message in this one.
        RequestRow{
            "TwoDifferentLengths", {"Host: a.b", "Content-Length: 5", "Content-Length: 11"}, 400},
        RequestRow{"LengthList", {"Host: a.b", "Content-Length: 5, 5"}, 400},
        RequestRow{"LengthWithSign", {"Host: a.b", "Content-Length: +5"}, 400},
        RequestRow{"NegativeLength", {"Host: a.b", "Content-Length: -1"}, 400},
        RequestRow{"HexLength", {"Host: a.b", "Content-Length: 0x10"}, 400},
        RequestRow{"EmptyLength", {"Host: a.b", "Content-Length:"}, 400},
        RequestRow{"LengthOver31Bits", {"Host: a.b", "Content-Length: 2147483648"}, 400},
        RequestRow{"LengthBesideChunked",
                   {"Host: a.b", "Content-Length: 5", "Transfer-Encoding: chunked"},
                   400},
        RequestRow{"ChunkedInHttp10",
                   {"Host: a.b", "Transfer-Encoding: chunked"},
                   400,
                   Framing::kNone,
                   0,
                   "HTTP/1.0"},
        RequestRow{"ChunkedNotLast", {"Host: a.b", "Transfer-Encoding: chunked, gzip"}, 400},
        RequestRow{"ChunkedTwice", {"Host: a.b", "Transfer-Encoding: chunked, chunked"}, 400},
        RequestRow{"ChunkedTwiceOverTwoLines",
                   {"Host: a.b", "Transfer-Encoding: chunked", "Transfer-Encoding: chunked"},
                   400},
        RequestRow{"EmptyCoding", {"Host: a.b", "Transfer-Encoding: , chunked"}, 400},
        RequestRow{"ChunkedWithParameter", {"Host: a.b", "Transfer-Encoding: chunked;x=1"}, 400},
        RequestRow{"UnknownCoding", {"Host: a.b", "Transfer-Encoding: xchunked"}, 501},
        RequestRow{"UnknownCodingBeforeChunked",
                   {"Host: a.b", "Transfer-Encoding: identity, chunked"},
                   501},
        RequestRow{"SpaceBeforeColon", {"Host: a.b", "Transfer-Encoding : chunked"}, 400},
        RequestRow{"TabBeforeColon", {"Host: a.b", "Content-Length\t: 5"}, 400},
        RequestRow{"FoldedLine", {"Host: a.b", "X-A: 1", " Transfer-Encoding: chunked"}, 400},
        RequestRow{"FoldedByTab", {"Host: a.b", "X-A: 1", "\tcontinued"}, 400},
        RequestRow{"NameNotAToken", {"Host: a.b", "X[A]: 1"}, 400},
        RequestRow{"LineWithoutColon", {"Host: a.b", "Transfer-Encoding chunked"}, 400},
        RequestRow{"EmptyName", {"Host: a.b", ": 5"}, 400},
        RequestRow{"BareCr", {"Host: a.b", "X-A: 1\rContent-Length: 5"}, 400},
        RequestRow{"Nul", {"Host: a.b", "X-A: 1\0Content-Length: 5"sv}, 400},
        RequestRow{"OtherControl", {"Host: a.b", "X-A: \x0b"}, 400},
        RequestRow{"TwoHosts", {"Host: a.b", "Host: c.d"}, 400},
        RequestRow{"ConnectWithBody",
                   {"Host: a.b:443", "Content-Length: 5"},
                   400,
                   Framing::kNone,
                   0,
                   "HTTP/1.1",
                   "CONNECT"},
        RequestRow{"ConnectChunked",
                   {"Host: a.b:443", "Transfer-Encoding: chunked"},
                   400,
                   Framing::kNone,
                   0,
                   "HTTP/1.1",
                   "CONNECT"}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(RequestHead, IdenticalLengthsAreFoldedIntoTheFirst) {
  auto head = Head("POST /x HTTP/1.1", {"Content-Length: 5", "X-A: 1", "content-length: 5"});
  ASSERT_FALSE(FrameRequestHead(head, "POST", "HTTP/1.1").fault);
  EXPECT_EQ(head, Head("POST /x HTTP/1.1", {"Content-Length: 5", "X-A: 1"}));
}

// An origin's answer head, what the browser is to get of it, and its framing.
struct AnswerRow {
  const char* name;
  std::vector<std::string_view> lines;   // status line first
  std::vector<std::string_view> passed;  // what goes on; empty when refused
  Framing framing = Framing::kNone;
  std::int64_t length = 0;
  const char* method = "GET";
};

class AnswerHeadTest : public ::testing::TestWithParam<AnswerRow> {};

TEST_P(AnswerHeadTest, IsReadTheStandardWayOrRefused) {
  const AnswerRow& row = GetParam();
  std::vector<std::string> head(row.lines.begin(), row.lines.end());
  const HeadReading reading = FrameAnswerHead(head, row.method);
  if (row.passed.empty()) {
    ASSERT_TRUE(reading.fault);
    EXPECT_EQ(reading.fault->status, 502);
    return;
  }
  ASSERT_FALSE(reading.fault) << reading.fault->reason;
  EXPECT_EQ(head, std::vector<std::string>(row.passed.begin(), row.passed.end()));
  EXPECT_EQ(reading.framing.kind, row.framing);
  EXPECT_EQ(reading.framing.length, row.length);
}

constexpr std::string_view kOk = "HTTP/1.1 200 OK";

INSTANTIATE_TEST_SUITE_P(
    Heads, AnswerHeadTest,
    ::testing::Values(
        AnswerRow{"Length",
                  {kOk, "Content-Length: 11"},
                  {kOk, "Content-Length: 11"},
                  Framing::kLength,
                  11},
        AnswerRow{"Chunked",
                  {kOk, "Transfer-Encoding: chunked"},
                  {kOk, "Transfer-Encoding: chunked"},
                  Framing::kChunked},
        AnswerRow{"UntilClose",
                  {kOk, "Content-Type: text/html"},
                  {kOk, "Content-Type: text/html"},
                  Framing::kUntilClose},
        AnswerRow{"ChunkedDecidesAndTheLengthGoes",
                  {kOk, "Content-Length: 5", "Transfer-Encoding: chunked"},
                  {kOk, "Transfer-Encoding: chunked"},
                  Framing::kChunked},
        AnswerRow{"SameLengthTwiceFolded",
                  {kOk, "Content-Length: 5", "Content-Length: 5"},
                  {kOk, "Content-Length: 5"},
                  Framing::kLength,
                  5},
        AnswerRow{"FoldedLineUnfolded",
                  {kOk, "X-A: 1", "  2", "Content-Length: 0"},
                  {kOk, "X-A: 1 2", "Content-Length: 0"},
                  Framing::kLength,
                  0},
        AnswerRow{"BlankBeforeColonRemoved",
                  {kOk, "Content-Length : 3"},
                  {kOk, "Content-Length: 3"},
                  Framing::kLength,
                  3},
        AnswerRow{"HeadHasNoBody",
                  {kOk, "Content-Length: 99"},
                  {kOk, "Content-Length: 99"},
                  Framing::kNone,
                  0,
                  "HEAD"},
        AnswerRow{"NotModifiedHasNoBody",
                  {"HTTP/1.1 304 Not Modified", "Transfer-Encoding: chunked"},
                  {"HTTP/1.1 304 Not Modified", "Transfer-Encoding: chunked"},
                  Framing::kNone},
        AnswerRow{"NoContentHasNoBody",
                  {"HTTP/1.1 204 No Content"},
                  {"HTTP/1.1 204 No Content"},
                  Framing::kNone},
        AnswerRow{"TwoDifferentLengths", {kOk, "Content-Length: 5", "Content-Length: 11"}, {}},
        AnswerRow{"LengthNotANumber", {kOk, "Content-Length: 5x"}, {}},
        AnswerRow{"NegativeLength", {kOk, "Content-Length: -1"}, {}},
        AnswerRow{"CodingOtherThanChunked", {kOk, "Transfer-Encoding: gzip, chunked"}, {}},
        AnswerRow{
            "ChunkedTwice", {kOk, "Transfer-Encoding: chunked", "Transfer-Encoding: chunked"}, {}},
        AnswerRow{"FoldRightAfterStatus", {kOk, " Content-Length: 5"}, {}},
        AnswerRow{"BareCr", {kOk, "X-A: 1\rContent-Length: 5"}, {}},
        AnswerRow{"Nul", {kOk, "X-A: 1\0"sv}, {}}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(ChunkSize, RequestSizeLinesAreReadStrictly) {
  EXPECT_EQ(StrictChunkSize("1a"), 26);
  EXPECT_EQ(StrictChunkSize("1A;name=x"), 26);
  EXPECT_EQ(StrictChunkSize("1a ;name"), 26);
  EXPECT_EQ(StrictChunkSize("0"), 0);
  EXPECT_EQ(StrictChunkSize("fffffffffffffff"), 0xfffffffffffffffLL);
  // Each has another reading somewhere: never a size.
  for (const std::string_view line :
       {""sv, " 1a"sv, "1a "sv, "0x10"sv, "-5"sv, "+5"sv, "1a x"sv, "ffffffffffffffff"sv,
        "10000000000000000"sv, "5;\r"sv, "5\0"sv})
    EXPECT_EQ(StrictChunkSize(line), std::nullopt) << '"' << line << '"';
}

TEST(HeaderLines, SetReplacesEveryLineOfTheNameWhereTheFirstStood) {
  auto head = Head("GET / HTTP/1.1", {"host: a", "X: 1", "Host: b"});
  SetHeader(head, "Host", "c.d:81");
  EXPECT_EQ(head, Head("GET / HTTP/1.1", {"Host: c.d:81", "X: 1"}));
  SetHeader(head, "Connection", "close");
  EXPECT_EQ(head, Head("GET / HTTP/1.1", {"Host: c.d:81", "X: 1", "Connection: close"}));
  RemoveHeader(head, "x");
  EXPECT_EQ(head, Head("GET / HTTP/1.1", {"Host: c.d:81", "Connection: close"}));
}

}  // namespace
}  // namespace trovanex
