#include "model/content_decoding.h"

#include <brotli/decode.h>
#include <zstd.h>

#include <algorithm>

#include "model/decoding_stage.h"
#include "platform/text.h"

namespace trovanex {
namespace {

// Browsers accept zstd windows up to 8 MiB; a larger one would let an origin make us hold
// far more memory than any page needs.
constexpr int kZstdWindowLogMax = 23;

using Emit = ContentDecoder::Stage::Emit;

class BrotliStage : public ContentDecoder::Stage {
 public:
  BrotliStage() : state_(BrotliDecoderCreateInstance(nullptr, nullptr, nullptr)) {}
  ~BrotliStage() override { BrotliDecoderDestroyInstance(state_); }

  StageResult Decode(std::string_view in, const Emit& emit) override {
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
      if (produced > 0 && !emit(std::string_view(chunk_).substr(0, produced)))
        return StageResult::Refused();
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

  StageResult Decode(std::string_view in, const Emit& emit) override {
    if (!context_) return "cannot start the decoder";
    ZSTD_inBuffer input{in.data(), in.size(), 0};
    while (input.pos < input.size) {
      ZSTD_outBuffer output{chunk_.data(), chunk_.size(), 0};
      const std::size_t result = ZSTD_decompressStream(context_, &output, &input);
      if (ZSTD_isError(result))
        return std::string("corrupt zstd data: ") + ZSTD_getErrorName(result);
      if (output.pos > 0 && !emit(std::string_view(chunk_).substr(0, output.pos)))
        return StageResult::Refused();
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
      if (output.pos > 0 && !emit(std::string_view(chunk_).substr(0, output.pos)))
        return StageResult::Refused();
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

bool ContentDecoder::IsalBuiltIn() {
  return TROVANEX_HAVE_ISAL != 0;
}

std::unique_ptr<ContentDecoder> ContentDecoder::ForEncoding(std::string_view content_encoding,
                                                            std::string& problem,
                                                            std::uint64_t min_limit,
                                                            Inflater inflater) {
  const auto inflate = [inflater](bool gzip) {
    return inflater == Inflater::kFastest && IsalBuiltIn() ? MakeIsalInflateStage(gzip)
                                                           : MakeZlibInflateStage(gzip);
  };
  std::vector<std::unique_ptr<Stage>> stages;
  while (!content_encoding.empty()) {
    const auto comma = content_encoding.find(',');
    const std::string coding = AsciiLower(TrimBlanks(content_encoding.substr(0, comma)));
    content_encoding.remove_prefix(comma == std::string_view::npos ? content_encoding.size()
                                                                   : comma + 1);
    if (coding.empty() || coding == "identity") continue;
    if (coding == "gzip" || coding == "x-gzip")
      stages.push_back(inflate(true));
    else if (coding == "deflate")
      stages.push_back(inflate(false));
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
    return output(bytes) || Fail(kDecodedNotWritten);
  }
  const StageResult result = stages_[stage]->Decode(
      bytes, [&](std::string_view decoded) { return Pass(stage + 1, decoded, output); });
  return result.Ok() || (!result.WasRefused() && Fail(result.Problem()));
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
