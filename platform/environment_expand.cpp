// Expansion of %NAME% references in text, as expandable registry strings use them.
#include <string>

#include "platform/environment.h"

namespace qma::platform {

std::string expand_env_references(std::string_view text) {
  return expand_env_references(text, [](std::string_view name) { return get_env(name); });
}

std::string expand_env_references(
    std::string_view text,
    const std::function<std::optional<std::string>(std::string_view name)>& lookup) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    size_t open = text.find('%', pos);
    if (open == std::string_view::npos) {
      out.append(text.substr(pos));
      break;
    }
    out.append(text.substr(pos, open - pos));
    size_t close = text.find('%', open + 1);
    if (close == std::string_view::npos) {
      // A lone percent sign stays as written.
      out.append(text.substr(open));
      break;
    }
    std::string_view name = text.substr(open + 1, close - open - 1);
    std::optional<std::string> value;
    if (!name.empty()) value = lookup(name);
    if (value) {
      out.append(*value);
      pos = close + 1;
    } else {
      // Unknown (or empty) names stay as written; the closing percent may open
      // the next reference, as Windows treats "%%PATH%".
      out.append(text.substr(open, close - open));
      pos = close;
    }
  }
  return out;
}

}  // namespace qma::platform
