// Bodies in the content codings origins use, made with the real encoders, for the tests of
// what the proxy keeps of compressed answers.
#pragma once

#include <string>
#include <string_view>

namespace trovanex::testing {

// zlib's deflate with `window_bits`: 16 + 15 gzip, 15 zlib-wrapped, -15 raw; at `level`.
std::string Zlib(std::string_view in, int window_bits, int level = 6);
std::string Gzip(std::string_view in);
std::string Brotli(std::string_view in);
std::string Zstd(std::string_view in);

// A page-like text of `size` bytes: compresses well, but not absurdly.
std::string PageText(std::size_t size);

}  // namespace trovanex::testing
