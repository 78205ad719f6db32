#include "monitor/monitor.h"

#include <string_view>

namespace trovanex {
namespace {

// The notification area takes at most this many bytes of a balloon's title and body.
constexpr std::size_t kBalloonTitleBytes = 63;
constexpr std::size_t kBalloonBodyBytes = 255;
constexpr char kBalloonTitle[] = "trovan!";

bool IsContinuationByte(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// At most `limit` bytes of `text`, ending before a character that would not fit whole.
std::string CutAtCharacter(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  std::size_t cut = limit;
  // A character has at most three continuation bytes; more than that is no UTF-8 character,
  // and the text is cut at the limit.
  for (int back = 0; back < 3 && cut > 0 && IsContinuationByte(text[cut]); ++back) --cut;
  if (IsContinuationByte(text[cut])) cut = limit;
  return std::string(text.substr(0, cut));
}

}  // namespace

Monitor::Monitor(const MonitorViews& views, bool debug_mode)
    : Counters(views.status),
      Log(views.log, debug_mode),
      Messages(views.status),
      Connections(views.connections),
      Throughput([&status = views.status](const std::string& text) { status.SetThroughput(text); }),
      balloons_(views.balloons) {}

void Monitor::ShowBalloon(const std::string& text) {
  balloons_.ShowBalloon(CutAtCharacter(kBalloonTitle, kBalloonTitleBytes),
                        CutAtCharacter(text, kBalloonBodyBytes));
}

}  // namespace trovanex
