#include "support/content_codings.h"

#include <brotli/encode.h>
#include <zlib.h>
#include <zstd.h>

#include <cstdint>

namespace trovanex::testing {

std::string Zlib(std::string_view in, int window_bits, int level) {
  z_stream stream{};
  deflateInit2(&stream, level, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&stream, static_cast<uLong>(in.size())) + 32, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  stream.avail_in = static_cast<uInt>(in.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

std::string Gzip(std::string_view in) {
  return Zlib(in, 16 + MAX_WBITS);
}

std::string Brotli(std::string_view in) {
  std::size_t size = BrotliEncoderMaxCompressedSize(in.size());
  std::string out(size, '\0');
  BrotliEncoderCompress(5, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_TEXT, in.size(),
                        reinterpret_cast<const std::uint8_t*>(in.data()), &size,
                        reinterpret_cast<std::uint8_t*>(out.data()));
  out.resize(size);
  return out;
}

std::string Zstd(std::string_view in) {
  std::string out(ZSTD_compressBound(in.size()), '\0');
  out.resize(ZSTD_compress(out.data(), out.size(), in.data(), in.size(), 3));
  return out;
}

std::string PageText(std::size_t size) {
  std::string text;
  for (std::size_t i = 0; text.size() < size; ++i)
    text += "<p>line " + std::to_string(i * 7919 % 100003) + " of a page</p>\n";
  text.resize(size);
  return text;
}

}  // namespace trovanex::testing
