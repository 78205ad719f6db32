#include "model/content_decoding.h"

#include <brotli/decode.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>

#include "platform/text.h"

namespace trovanex {
namespace {

constexpr std::size_t kOutputChunk = 64 * 1024;
// Browsers accept zstd windows up to 8 MiB; a larger one would let an origin make us hold
// far more memory than any page needs.
constexpr int kZstdWindowLogMax = 23;

using Emit = std::function<bool(std::string_view)>;

}  // namespace

// One coding undone. Decode takes the next encoded bytes and hands every decoded chunk on;
// it returns a problem text, empty when all went well.
class ContentDecoder::Stage {
 public:
  virtual ~Stage() = default;
  virtual std::string Decode(std::string_view in, const Emit& emit) = 0;
  // The coded stream reached its proper end (not cut off).
  virtual bool Ended() const = 0;
  virtual const char* Name() const = 0;

 protected:
  std::string chunk_ = std::string(kOutputChunk, '\0');
};

namespace {

// gzip (any number of members) and deflate, zlib-wrapped or raw: browsers accept both forms,
// told apart by the zlib header's check bits.
class ZlibStage : public ContentDecoder::Stage {
 public:
  explicit ZlibStage(bool gzip) : gzip_(gzip) {}
  ~ZlibStage() override {
    if (initialised_) inflateEnd(&stream_);
  }

  std::string Decode(std::string_view in, const Emit& emit) override {
    if (!initialised_) {
      if (in.empty()) return {};
      if (!gzip_ && header_.size() < 2) {
        // The form is known from the first two bytes, which may come in two pieces.
        const std::size_t take = std::min<std::size_t>(2 - header_.size(), in.size());
        header_.append(in.substr(0, take));
        in.remove_prefix(take);
        if (header_.size() < 2) return {};
      }
      if (inflateInit2(&stream_, WindowBits()) != Z_OK) return "cannot start the decoder";
      initialised_ = true;
      if (!header_.empty()) {
        std::string problem = Inflate(header_, emit);
        if (!problem.empty()) return problem;
      }
    }
    return Inflate(in, emit);
  }
  bool Ended() const override { return ended_; }
  const char* Name() const override { return gzip_ ? "gzip" : "deflate"; }

 private:
  int WindowBits() const {
    if (gzip_) return 16 + MAX_WBITS;
    const auto b0 = static_cast<unsigned char>(header_[0]);
    const auto b1 = static_cast<unsigned char>(header_[1]);
    const bool zlib_header =
        (b0 & 0x0F) == Z_DEFLATED && (b0 >> 4) <= 7 && (b0 * 256 + b1) % 31 == 0;
    return zlib_header ? MAX_WBITS : -MAX_WBITS;
  }

  std::string Inflate(std::string_view in, const Emit& emit) {
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
        if (produced > 0 && !emit(std::string_view(chunk_).substr(0, produced))) return "stopped";
        if (result == Z_STREAM_END) {
          ended_ = true;
          break;
        }
        if (result == Z_BUF_ERROR) break;  // nothing more to do with this input
        if (result != Z_OK)
          return std::string("corrupt ") + Name() + " data" +
                 (stream_.msg ? std::string(": ") + stream_.msg : std::string());
      } while (stream_.avail_out == 0 || stream_.avail_in > 0);
    }
    return {};
  }

  const bool gzip_;
  z_stream stream_{};
  bool initialised_ = false;
  bool ended_ = false;
  std::string header_;  // deflate only: the first bytes, until the form is known
};

class BrotliStage : public ContentDecoder::Stage {
 public:
  BrotliStage() : state_(BrotliDecoderCreateInstance(nullptr, nullptr, nullptr)) {}
  ~BrotliStage() override { BrotliDecoderDestroyInstance(state_); }

  std::string Decode(std::string_view in, const Emit& emit) override {
    if (!state_) return "cannot start the decoder";
    std::size_t available_in = in.size();
    auto next_in = reinterpret_cast<const std::uint8_t*>(in.data());
    while (available_in > 0 || result_ == BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT) {
      if (result_ == BROTLI_DECODER_RESULT_SUCCESS)
        return "data after the end of the Brotli stream";
      std::size_t available_out = chunk_.size();
      auto next_out = reinterpret_cast<std::uint8_t*>(chunk_.data());
      result_ = BrotliDecoderDecompressStream(state_, &available_in, &next_in, &available_out,
                                              &next_out, nullptr);
      const std::size_t produced = chunk_.size() - available_out;
      if (produced > 0 && !emit(std::string_view(chunk_).substr(0, produced))) return "stopped";
      if (result_ == BROTLI_DECODER_RESULT_ERROR)
        return std::string("corrupt Brotli data: ") +
               BrotliDecoderErrorString(BrotliDecoderGetErrorCode(state_));
      if (result_ == BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT) break;
    }
    return {};
  }
  bool Ended() const override { return result_ == BROTLI_DECODER_RESULT_SUCCESS; }
  const char* Name() const override { return "br"; }

 private:
  BrotliDecoderState* state_;
  BrotliDecoderResult result_ = BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT;
};

class ZstdStage : public ContentDecoder::Stage {
 public:
  ZstdStage() : context_(ZSTD_createDCtx()) {
    if (context_) ZSTD_DCtx_setParameter(context_, ZSTD_d_windowLogMax, kZstdWindowLogMax);
  }
  ~ZstdStage() override { ZSTD_freeDCtx(context_); }

  std::string Decode(std::string_view in, const Emit& emit) override {
    if (!context_) return "cannot start the decoder";
    ZSTD_inBuffer input{in.data(), in.size(), 0};
    while (input.pos < input.size) {
      ZSTD_outBuffer output{chunk_.data(), chunk_.size(), 0};
      const std::size_t result = ZSTD_decompressStream(context_, &output, &input);
      if (ZSTD_isError(result))
        return std::string("corrupt zstd data: ") + ZSTD_getErrorName(result);
      if (output.pos > 0 && !emit(std::string_view(chunk_).substr(0, output.pos))) return "stopped";
      // 0: a frame ended exactly here (another may follow).
      frame_open_ = result != 0;
      seen_input_ = true;
    }
    // Output the decoder still holds for input already taken.
    for (;;) {
      if (!frame_open_) break;
      ZSTD_outBuffer output{chunk_.data(), chunk_.size(), 0};
      ZSTD_inBuffer none{nullptr, 0, 0};
      const std::size_t result = ZSTD_decompressStream(context_, &output, &none);
      if (ZSTD_isError(result))
        return std::string("corrupt zstd data: ") + ZSTD_getErrorName(result);
      if (output.pos > 0 && !emit(std::string_view(chunk_).substr(0, output.pos))) return "stopped";
      frame_open_ = result != 0;
      if (output.pos < output.size) break;
    }
    return {};
  }
  bool Ended() const override { return seen_input_ && !frame_open_; }
  const char* Name() const override { return "zstd"; }

 private:
  ZSTD_DCtx* context_;
  bool frame_open_ = false;
  bool seen_input_ = false;
};

}  // namespace

std::unique_ptr<ContentDecoder> ContentDecoder::ForEncoding(std::string_view content_encoding,
                                                            std::string& problem,
                                                            std::uint64_t min_limit) {
  std::vector<std::unique_ptr<Stage>> stages;
  while (!content_encoding.empty()) {
    const auto comma = content_encoding.find(',');
    const std::string coding = AsciiLower(TrimBlanks(content_encoding.substr(0, comma)));
    content_encoding.remove_prefix(comma == std::string_view::npos ? content_encoding.size()
                                                                   : comma + 1);
    if (coding.empty() || coding == "identity") continue;
    if (coding == "gzip" || coding == "x-gzip")
      stages.push_back(std::make_unique<ZlibStage>(true));
    else if (coding == "deflate")
      stages.push_back(std::make_unique<ZlibStage>(false));
    else if (coding == "br")
      stages.push_back(std::make_unique<BrotliStage>());
    else if (coding == "zstd")
      stages.push_back(std::make_unique<ZstdStage>());
    else {
      problem = "unknown content coding \"" + coding + "\"";
      return nullptr;
    }
  }
  if (stages.empty()) return nullptr;
  // Applied in the order listed, so undone from the last.
  std::reverse(stages.begin(), stages.end());
  return std::unique_ptr<ContentDecoder>(new ContentDecoder(std::move(stages), min_limit));
}

ContentDecoder::ContentDecoder(std::vector<std::unique_ptr<Stage>> stages, std::uint64_t min_limit)
    : stages_(std::move(stages)), min_limit_(min_limit) {}
ContentDecoder::~ContentDecoder() = default;

bool ContentDecoder::Fail(std::string problem) {
  if (problem_.empty()) problem_ = std::move(problem);
  return false;
}

bool ContentDecoder::Pass(std::size_t stage, std::string_view bytes, const Output& output) {
  if (stage == stages_.size()) {
    const std::uint64_t limit = std::max(min_limit_, kDecodedRatioLimit * encoded_);
    if (bytes.size() > limit - decoded_)
      return Fail("decoded size over " + std::to_string(limit) + " bytes");
    decoded_ += bytes.size();
    return output(bytes) || Fail("decoded content not written");
  }
  const std::string problem = stages_[stage]->Decode(
      bytes, [&](std::string_view decoded) { return Pass(stage + 1, decoded, output); });
  // "stopped" comes from a later stage that has already said why.
  return problem.empty() || Fail(problem);
}

bool ContentDecoder::Feed(std::string_view encoded, const Output& output) {
  if (!problem_.empty()) return false;
  encoded_ += encoded.size();
  return Pass(0, encoded, output);
}

bool ContentDecoder::Finish() {
  if (!problem_.empty()) return false;
  for (const auto& stage : stages_) {
    if (!stage->Ended()) return Fail(std::string("truncated ") + stage->Name() + " data");
  }
  return true;
}

}  // namespace trovanex
