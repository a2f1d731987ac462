#pragma once

#include <cstdint>
#include <string>

namespace Orvex::HardwareAPI::Haptics {

// A timestamped event the application marked, tied to the row it came before: a servo loop's
// cycle, a listener's message.
struct RecordMark {
  double time = 0;          // on the layer's clock (see Clock.h)
  std::uint64_t index = 0;  // the first row published after it
  std::string label;
  std::string fields_json;  // a JSON object's text, or empty for none
};

}  // namespace Orvex::HardwareAPI::Haptics
