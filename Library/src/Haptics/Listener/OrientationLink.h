#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "Haptics/HandleMessage.h"
#include "Haptics/Shape.h"

namespace Orvex::HardwareAPI::Haptics {

// Turns a shape as the handle turns: at each status message, the listener's thread sets the
// shape's orientation to offset · the message's quaternion (the offset turns the handle's frame
// of reference into the scene's). No application thread is in between; a message that finds the
// shape being changed by another thread is passed over, and the next one sets it.
//
// Threads: offer() from the listener's thread only; link() and unlink() from any other thread.
class OrientationLink {
 public:
  ~OrientationLink() { unlink(); }

  void link(std::shared_ptr<Shape> shape, const Quaternion& offset);
  // Returns once the listener's thread no longer touches the shape it turned.
  void unlink();
  std::shared_ptr<Shape> linked() const;

  void offer(const HandleMessage& message) noexcept;

 private:
  struct Target {
    std::shared_ptr<Shape> shape;
    Quaternion offset;
  };
  // Hands target over to the listener's thread, and frees the one before once it let go.
  void hand_over(std::unique_ptr<Target> next);

  mutable std::mutex owner;  // target, among application threads
  std::unique_ptr<Target> target;
  std::atomic<Target*> current{nullptr};
  std::atomic<bool> busy{false};
};

}  // namespace Orvex::HardwareAPI::Haptics
