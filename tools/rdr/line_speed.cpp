#include "line_speed.h"

#include <charconv>
#include <cstdint>

namespace rdr {

CLI::Validator LineSpeed() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        int32_t speed = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), speed);
        if (error == std::errc() && end == text.data() + text.size() && speed > 0) return {};
        return "'" + text + "' is not a line speed; give bits per second, such as 9600";
      },
      "BITS/S");
}

}  // namespace rdr
