#include "monitor/log_colors.h"

#include <gtest/gtest.h>

namespace trovanex {
namespace {

constexpr LogColor kSkyBlue{166, 202, 240};
constexpr LogColor kGreen{0, 128, 0};
constexpr LogColor kOlive{128, 128, 0};
constexpr LogColor kSilver{192, 192, 192};
constexpr LogColor kRed{255, 0, 0};

TEST(LogLineColor, ChosenByTheNumberBeforeTheFirstColon) {
  struct Row {
    const char* line;
    LogColor color;
  };
  const Row rows[] = {
      {"12 :Host: a", kGreen},
      {"1 : << Connection end >>", kGreen},
      {"16 : GET http://a/ HTTP/1.1", kSkyBlue},
      {" 7 : x", kOlive},
      {"\t7\t: x", kOlive},
      {"+7 : x", kOlive},
      {"15 : x", kSilver},
      {"-17 : x", kSilver},  // modulo taken in 0 to 15
      {"-2147483648 : x", kSkyBlue},
      {"-1 : x", kRed},
      {"no colon at all", kRed},
      {"42", kSilver},  // no colon: the whole text is the number
      {"### warning : x", kRed},
      {"12Connect error: x", kRed},
      {" : x", kRed},
      {"", kRed},
      {"1 2 : x", kRed},
      {"+-3 : x", kRed},
      {"99999999999 : x", kRed},  // beyond an int
      {"0x1F : x", kRed},
  };
  for (const Row& row : rows) EXPECT_EQ(LogLineColor(row.line), row.color) << row.line;
}

}  // namespace
}  // namespace trovanex
