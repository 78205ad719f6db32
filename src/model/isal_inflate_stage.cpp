// gzip and deflate through ISA-L's inflate (igzip): the same streams as zlib takes, with the
// same checks (header, CRC-32 or Adler-32, length), several times as fast on x86-64.
#include "model/decoding_stage.h"

#if TROVANEX_HAVE_ISAL

#include <isa-l/igzip_lib.h>

#include <algorithm>
#include <cstdint>

namespace trovanex {
namespace {

const char* Reason(int result) {
  switch (result) {
    case ISAL_INVALID_BLOCK:
      return "invalid block";
    case ISAL_INVALID_SYMBOL:
      return "invalid code";
    case ISAL_INVALID_LOOKBACK:
      return "invalid distance too far back";
    case ISAL_INVALID_WRAPPER:
      return "incorrect header check";
    case ISAL_UNSUPPORTED_METHOD:
      return "unknown compression method";
    case ISAL_INCORRECT_CHECKSUM:
      return "incorrect data check";
    case ISAL_NEED_DICT:
      return "a preset dictionary is needed";
    default:
      return "";
  }
}

class IsalInflateStage final : public InflateStage {
 public:
  using InflateStage::InflateStage;

 private:
  bool Start(Wrapper wrapper) override {
    isal_inflate_init(&state_);
    crc_flag_ = wrapper == Wrapper::kGzip   ? ISAL_GZIP
                : wrapper == Wrapper::kZlib ? ISAL_ZLIB
                                            : ISAL_DEFLATE;
    state_.crc_flag = crc_flag_;
    return true;
  }

  StageResult Inflate(std::string_view in, const Emit& emit) override {
    // The state counts in 32 bits: a larger piece goes in parts.
    constexpr std::size_t kMostAtOnce = std::size_t{1} << 30;
    while (!in.empty()) {
      const std::string_view part = in.substr(0, kMostAtOnce);
      in.remove_prefix(part.size());
      StageResult result = InflatePart(part, emit);
      if (!result.Ok()) return result;
    }
    return {};
  }

  StageResult InflatePart(std::string_view in, const Emit& emit) {
    state_.next_in = reinterpret_cast<std::uint8_t*>(const_cast<char*>(in.data()));
    state_.avail_in = static_cast<std::uint32_t>(in.size());
    for (;;) {
      if (ended_) {
        if (state_.avail_in == 0) return {};
        // Another gzip member may follow; anything else after the end is not this coding.
        if (!gzip_) return "data after the end of the deflate stream";
        Restart();
      }
      const std::uint32_t in_before = state_.avail_in;
      state_.next_out = reinterpret_cast<std::uint8_t*>(chunk_.data());
      state_.avail_out = static_cast<std::uint32_t>(chunk_.size());
      const int result = isal_inflate(&state_);
      const std::size_t produced = chunk_.size() - state_.avail_out;
      if (produced > 0 && !emit(std::string_view(chunk_).substr(0, produced)))
        return StageResult::Refused();
      if (result != ISAL_DECOMP_OK) return Corrupt(Reason(result));
      if (state_.block_state == ISAL_BLOCK_FINISH) {
        ended_ = true;
        continue;
      }
      // Room left over: everything taken so far has come out; the rest needs more input.
      if (state_.avail_out > 0 && state_.avail_in == 0) return {};
      if (produced == 0 && state_.avail_in == in_before) return Corrupt("the decoder stopped");
    }
  }

  // The next gzip member: a fresh state that checks its own header and trailer.
  void Restart() {
    const std::uint8_t* next_in = state_.next_in;
    const std::uint32_t avail_in = state_.avail_in;
    isal_inflate_reset(&state_);
    state_.crc_flag = crc_flag_;
    state_.next_in = const_cast<std::uint8_t*>(next_in);
    state_.avail_in = avail_in;
    ended_ = false;
  }

  inflate_state state_{};
  std::uint32_t crc_flag_ = ISAL_DEFLATE;
};

}  // namespace

std::unique_ptr<ContentDecoder::Stage> MakeIsalInflateStage(bool gzip) {
  return std::make_unique<IsalInflateStage>(gzip);
}

}  // namespace trovanex

#endif  // TROVANEX_HAVE_ISAL
