// gzip and deflate through zlib: where ISA-L is not built in, and as the reference it is
// checked against.
#include <zlib.h>

#include "model/decoding_stage.h"

namespace trovanex {
namespace {

class ZlibInflateStage final : public InflateStage {
 public:
  using InflateStage::InflateStage;
  ~ZlibInflateStage() override {
    if (initialised_) inflateEnd(&stream_);
  }

 private:
  bool Start(Wrapper wrapper) override {
    const int window_bits = wrapper == Wrapper::kGzip   ? 16 + MAX_WBITS
                            : wrapper == Wrapper::kZlib ? MAX_WBITS
                                                        : -MAX_WBITS;
    initialised_ = inflateInit2(&stream_, window_bits) == Z_OK;
    return initialised_;
  }

  StageResult Inflate(std::string_view in, const Emit& emit) override {
    stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    stream_.avail_in = static_cast<uInt>(in.size());
    while (stream_.avail_in > 0) {
      if (ended_) {
        // Another gzip member may follow; anything else after the end is not this coding.
        if (!gzip_) return "data after the end of the deflate stream";
        inflateReset(&stream_);
        ended_ = false;
      }
      do {
        stream_.next_out = reinterpret_cast<Bytef*>(chunk_.data());
        stream_.avail_out = static_cast<uInt>(chunk_.size());
        const int result = inflate(&stream_, Z_NO_FLUSH);
        const std::size_t produced = chunk_.size() - stream_.avail_out;
        if (produced > 0 && !emit(std::string_view(chunk_).substr(0, produced)))
          return StageResult::Refused();
        if (result == Z_STREAM_END) {
          ended_ = true;
          break;
        }
        if (result == Z_BUF_ERROR) break;  // nothing more to do with this input
        if (result != Z_OK) return Corrupt(stream_.msg ? stream_.msg : "");
      } while (stream_.avail_out == 0 || stream_.avail_in > 0);
    }
    return {};
  }

  z_stream stream_{};
  bool initialised_ = false;
};

}  // namespace

std::unique_ptr<ContentDecoder::Stage> MakeZlibInflateStage(bool gzip) {
  return std::make_unique<ZlibInflateStage>(gzip);
}

}  // namespace trovanex
