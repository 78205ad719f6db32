#include "engine/resources.h"

#include <cstddef>
#include <string>

#include "platform/errors.h"

// The byte tables written at build time by cmake/EmbedResources.cmake.
namespace trovanex::embedded {
extern const unsigned char kTrovanexLogo[];
extern const std::size_t kTrovanexLogoSize;
extern const unsigned char kConnectTimeoutHtml[];
extern const std::size_t kConnectTimeoutHtmlSize;
extern const unsigned char kHostNotFoundHtml[];
extern const std::size_t kHostNotFoundHtmlSize;
}  // namespace trovanex::embedded

namespace trovanex {
namespace {

struct Resource {
  std::string_view type;
  std::string_view name;
  const unsigned char* bytes;
  const std::size_t& size;  // bound, not copied: the sizes live in the generated unit
};

const Resource kResources[] = {
    {"PNG", "TROVANEXLOGO", embedded::kTrovanexLogo, embedded::kTrovanexLogoSize},
    {"TEXT", "CONNECTTIMEOUTHTML", embedded::kConnectTimeoutHtml,
     embedded::kConnectTimeoutHtmlSize},
    {"TEXT", "HOSTNOTFOUNDHTML", embedded::kHostNotFoundHtml, embedded::kHostNotFoundHtmlSize},
};

char AsciiUpper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

std::string_view PageOrFail(std::string_view name) {
  const auto page = LookupResource("TEXT", name);
  if (!page) throw AssertionFailure("embedded page missing: " + std::string(name));
  return *page;
}

}  // namespace

std::optional<std::string_view> LookupResource(std::string_view type, std::string_view name) {
  for (const Resource& resource : kResources) {
    if (EqualIgnoringAsciiCase(resource.type, type) &&
        EqualIgnoringAsciiCase(resource.name, name)) {
      return std::string_view(reinterpret_cast<const char*>(resource.bytes), resource.size);
    }
  }
  return std::nullopt;
}

ErrorPages LoadErrorPages() {
  return {PageOrFail("ConnectTimeoutHTML"), PageOrFail("HostNotFoundHTML")};
}

}  // namespace trovanex
