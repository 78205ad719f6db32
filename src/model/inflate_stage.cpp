#include "model/decoding_stage.h"

#include <algorithm>

namespace trovanex {

StageResult InflateStage::Decode(std::string_view in, const Emit& emit) {
  if (!started_) {
    if (in.empty()) return {};
    if (!gzip_ && header_.size() < 2) {
      const std::size_t take = std::min<std::size_t>(2 - header_.size(), in.size());
      header_.append(in.substr(0, take));
      in.remove_prefix(take);
      if (header_.size() < 2) return {};
    }
    Wrapper wrapper = Wrapper::kGzip;
    if (!gzip_) {
      const auto b0 = static_cast<unsigned char>(header_[0]);
      const auto b1 = static_cast<unsigned char>(header_[1]);
      // Method 8 (deflate), a window of at most 32 KiB, and the check bits.
      const bool zlib_header = (b0 & 0x0F) == 8 && (b0 >> 4) <= 7 && (b0 * 256 + b1) % 31 == 0;
      wrapper = zlib_header ? Wrapper::kZlib : Wrapper::kRaw;
    }
    if (!Start(wrapper)) return "cannot start the decoder";
    started_ = true;
    if (!header_.empty()) {
      StageResult result = Inflate(header_, emit);
      if (!result.Ok()) return result;
    }
  }
  return Inflate(in, emit);
}

std::string InflateStage::Corrupt(std::string_view reason) const {
  std::string problem = std::string("corrupt ") + Name() + " data";
  if (!reason.empty()) problem.append(": ").append(reason);
  return problem;
}

}  // namespace trovanex
