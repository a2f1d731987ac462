#pragma once

#include <cstdint>

namespace Orvex::HardwareAPI::Haptics {

enum class AddressKind { executable, not_executable, unknown };

// Whether an address lies in a mapping of this process that may be executed, as the system's
// list of mappings (/proc/self/maps) says; unknown where that list cannot be read.
AddressKind executable_address(std::uintptr_t address);

}  // namespace Orvex::HardwareAPI::Haptics
