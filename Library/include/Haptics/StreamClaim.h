#pragma once

namespace Orvex::HardwareAPI::IO {
class SerialStream;
}

namespace Orvex::HardwareAPI::Haptics {

// A stream has one owning thread at a time: a servo loop or a listener claims its stream while it
// runs, so that no two threads ever read or write the same port at once. The claim is released
// when the object is destroyed or released.
class StreamClaim {
 public:
  StreamClaim() = default;
  StreamClaim(StreamClaim&& other) noexcept;
  StreamClaim& operator=(StreamClaim&& other) noexcept;
  StreamClaim(const StreamClaim&) = delete;
  StreamClaim& operator=(const StreamClaim&) = delete;
  ~StreamClaim();

  // The stream's claim, or an empty one when another owner holds it already.
  static StreamClaim acquire(const IO::SerialStream* stream);

  explicit operator bool() const { return stream != nullptr; }
  void release();

 private:
  explicit StreamClaim(const IO::SerialStream* claimed) : stream(claimed) {}
  const IO::SerialStream* stream = nullptr;
};

}  // namespace Orvex::HardwareAPI::Haptics
