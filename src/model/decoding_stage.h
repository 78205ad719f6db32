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

// One coding undone. Decode takes the next encoded bytes and hands every decoded chunk on; it
// returns a problem text, empty when all went well. An Emit that refuses a chunk makes it
// return kStopped: the stage after it has already said why.
class ContentDecoder::Stage {
 public:
  using Emit = std::function<bool(std::string_view)>;
  static constexpr const char* kStopped = "stopped";

  virtual ~Stage() = default;
  virtual std::string Decode(std::string_view in, const Emit& emit) = 0;
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
  std::string Decode(std::string_view in, const Emit& emit) final;
  bool Ended() const final { return ended_; }
  const char* Name() const final { return gzip_ ? "gzip" : "deflate"; }

 protected:
  enum class Wrapper { kGzip, kZlib, kRaw };
  // Readies the inflater for `wrapper`; false when it cannot start.
  virtual bool Start(Wrapper wrapper) = 0;
  // Inflates `in`, a new gzip member after the end of one, anything else after the end a
  // problem; sets ended_ at the end of a stream.
  virtual std::string Inflate(std::string_view in, const Emit& emit) = 0;
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
