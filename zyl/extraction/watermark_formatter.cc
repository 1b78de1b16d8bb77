// Placeholder until the watermark formatter lands.
#include "zyl/extraction/watermark_formatter.h"

#include <stdexcept>

namespace zyl::extraction::watermark_formatter {

std::string format_watermark(const Value&, const std::string&, const std::string&) {
  throw std::logic_error("format_watermark is not available yet");
}

}  // namespace zyl::extraction::watermark_formatter
