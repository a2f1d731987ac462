#include "Haptics/StreamClaim.h"

#include <mutex>
#include <unordered_set>
#include <utility>

namespace Orvex::HardwareAPI::Haptics {

namespace {

// Claims are taken when a loop or listener starts, never on a device thread's hot path.
std::mutex claims_lock;
std::unordered_set<const IO::SerialStream*>& claimed_streams() {
  static std::unordered_set<const IO::SerialStream*> streams;
  return streams;
}

}  // namespace

StreamClaim StreamClaim::acquire(const IO::SerialStream* stream) {
  if (!stream) return {};
  std::lock_guard<std::mutex> hold(claims_lock);
  if (!claimed_streams().insert(stream).second) return {};
  return StreamClaim(stream);
}

void StreamClaim::release() {
  if (!stream) return;
  std::lock_guard<std::mutex> hold(claims_lock);
  claimed_streams().erase(stream);
  stream = nullptr;
}

StreamClaim::StreamClaim(StreamClaim&& other) noexcept : stream(std::exchange(other.stream, nullptr)) {}

StreamClaim& StreamClaim::operator=(StreamClaim&& other) noexcept {
  if (this != &other) {
    release();
    stream = std::exchange(other.stream, nullptr);
  }
  return *this;
}

StreamClaim::~StreamClaim() { release(); }

}  // namespace Orvex::HardwareAPI::Haptics
