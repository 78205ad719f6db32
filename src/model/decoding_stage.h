// The pieces a content decoder is made of: one stage per coding, and the base the two inflate
// stages (zlib's, and ISA-L's where it is built in) share, which tells the two forms of a
// deflate body apart.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "model/content_decoding.h"

namespace trovanex {

inline constexpr std::size_t kDecodedChunk = 64 * 1024;

// How a stage's Decode ended: everything taken, a problem of the stage's own, or a chunk that
// the stage after it refused (that stage has already said why).
class StageResult {
 public:
  StageResult() = default;
  StageResult(std::string problem) : problem_(std::move(problem)) {}  // NOLINT: a problem
  StageResult(const char* problem) : problem_(problem) {}             // NOLINT: a problem
  static StageResult Refused() {
    StageResult result;
    result.refused_ = true;
    return result;
  }
  bool Ok() const { return !refused_ && problem_.empty(); }
  bool WasRefused() const { return refused_; }
  const std::string& Problem() const { return problem_; }

 private:
  std::string problem_;
  bool refused_ = false;
};

// One coding undone. Decode takes the next encoded bytes and hands every decoded chunk on.
class ContentDecoder::Stage {
 public:
  using Emit = std::function<bool(std::string_view)>;

  virtual ~Stage() = default;
  virtual StageResult Decode(std::string_view in, const Emit& emit) = 0;
  // The coded stream reached its proper end (not cut off).
  virtual bool Ended() const = 0;
  virtual const char* Name() const = 0;

 protected:
  std::string chunk_ = std::string(kDecodedChunk, '\0');
};

// gzip (any number of members) and deflate, zlib-wrapped or raw: browsers accept both forms,
// told apart by the zlib header's check bits in the first two bytes, which may come in two
// pieces. Subclasses inflate; this class starts them on the right form.
class InflateStage : public ContentDecoder::Stage {
 public:
  explicit InflateStage(bool gzip) : gzip_(gzip) {}
  StageResult Decode(std::string_view in, const Emit& emit) final;
  bool Ended() const final { return ended_; }
  const char* Name() const final { return gzip_ ? "gzip" : "deflate"; }

 protected:
  enum class Wrapper { kGzip, kZlib, kRaw };
  // Readies the inflater for `wrapper`; false when it cannot start.
  virtual bool Start(Wrapper wrapper) = 0;
  // Inflates `in`, a new gzip member after the end of one, anything else after the end a
  // problem; sets ended_ at the end of a stream.
  virtual StageResult Inflate(std::string_view in, const Emit& emit) = 0;
  std::string Corrupt(std::string_view reason) const;

  const bool gzip_;
  bool ended_ = false;

 private:
  bool started_ = false;
  std::string header_;  // deflate only: the first bytes, until the form is known
};

std::unique_ptr<ContentDecoder::Stage> MakeZlibInflateStage(bool gzip);
// ISA-L's inflate, several times as fast on x86-64; only where the build has it.
std::unique_ptr<ContentDecoder::Stage> MakeIsalInflateStage(bool gzip);

}  // namespace trovanex
