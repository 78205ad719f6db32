#include "engine/body_relay.h"

#include <limits>

#include "platform/text.h"

namespace trovanex {

std::optional<std::int64_t> ParseChunkSize(std::string_view line) {
  line = TrimBlanks(line);
  std::uint64_t size = 0;
  std::size_t digits = 0;
  for (; digits < line.size(); ++digits) {
    const char c = line[digits];
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      break;
    if (size > (static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) >> 4))
      size = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    else
      size = size * 16 + static_cast<std::uint64_t>(digit);
  }
  const std::string_view after = TrimBlanks(line.substr(digits));
  if (digits == 0 || (!after.empty() && after.front() != ';')) return std::nullopt;
  return static_cast<std::int64_t>(size);
}

void BodyRelay::Run() {
  // Checked once per pass; a relay that cannot go on ends by a failure.
  while (upstream.IsConnected() && browser.IsConnected() && state.Remaining != 0) {
    if (state.Remaining != -1)
      RelayByLength();
    else if (state.Chunked)
      RelayChunked();
    else
      RelayUntilClose();
  }
}

void BodyRelay::BeginPass() {
  if (capture.CaptureCopy()) capture.ShowCaptureStatus();
  monitor.Counters.ShowSavedBytes();
}

void BodyRelay::PieceDone(std::size_t length) {
  monitor.Throughput.AddBytes(static_cast<std::uint32_t>(length));
  if (Connection::Copy* copy = capture.CaptureCopy(); copy && !copy->failed)
    capture.CapturedPiece(length);
}

void BodyRelay::OnPiece(std::size_t length) {
  PieceDone(length);
  if (state.Remaining > 0) state.Remaining -= static_cast<std::int64_t>(length);
  BeginPass();
}

void BodyRelay::RelayByLength() {
  BeginPass();
  if (state.Remaining < 0) {
    state.Remaining = 0;  // a negative length other than -1: one pass that moves nothing
    return;
  }
  upstream.RelayExact(browser, static_cast<std::uint64_t>(state.Remaining), piece,
                      capture.CaptureCopy(), [this](std::size_t length) { OnPiece(length); });
}

void BodyRelay::RelayChunked() {
  BeginPass();
  const std::string line = upstream.ReadLine();
  monitor.Log.AddLog(prefix + " : Chunk! Chunk-size: " + line);
  const std::optional<std::int64_t> parsed = ParseChunkSize(line);
  browser.WriteLine(line);
  // Taking such a line for the last chunk would keep a cut-off body as if it were whole.
  if (!parsed) throw MalformedChunkSize();
  const std::int64_t size = *parsed;
  if (size < 1) {
    monitor.Log.AddLog(prefix + " : Chunk end");
    state.Remaining = 0;
    state.LastChunkSeen = true;  // the body is whole, whatever becomes of its trailer
    RelayTrailer();
    return;
  }
  upstream.RelayExact(browser, static_cast<std::uint64_t>(size), piece, capture.CaptureCopy(),
                      [this](std::size_t length) { PieceDone(length); });
  // The line end after the data. Anything else there would be the next size line to one
  // reader and part of the data to another.
  if (!upstream.ReadLine().empty()) throw MalformedChunkSize();
  browser.WriteLine("");
}

void BodyRelay::RelayTrailer() {
  // Read through its empty line, so that a kept origin connection starts at the next answer.
  std::vector<std::string> trailer;
  upstream.ReadHeaderBlock(trailer);
  browser.WriteHead(trailer);
}

void BodyRelay::RelayUntilClose() {
  BeginPass();
  const std::size_t moved = upstream.RelaySome(browser, piece, capture.CaptureCopy());
  PieceDone(moved);
}

}  // namespace trovanex
