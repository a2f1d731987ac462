#include "OrientationLink.h"

#include <thread>

#include "../Scene/VectorMath.h"

namespace Orvex::HardwareAPI::Haptics {

void OrientationLink::hand_over(std::unique_ptr<Target> next) {
  std::lock_guard<std::mutex> hold(owner);
  current.store(next.get(), std::memory_order_seq_cst);
  // An offer that found the old target is one orientation away from done.
  while (busy.load(std::memory_order_seq_cst)) std::this_thread::yield();
  target = std::move(next);
}

void OrientationLink::link(std::shared_ptr<Shape> shape, const Quaternion& offset) {
  hand_over(shape ? std::make_unique<Target>(Target{std::move(shape), offset}) : nullptr);
}

void OrientationLink::unlink() { hand_over(nullptr); }

std::shared_ptr<Shape> OrientationLink::linked() const {
  std::lock_guard<std::mutex> hold(owner);
  return target ? target->shape : nullptr;
}

void OrientationLink::offer(const HandleMessage& message) noexcept {
  if (message.kind != HandleMessage::Kind::status) return;
  // Sequentially consistent with hand_over(): either it sees us busy and waits, or we see the
  // new target. Acquire/release alone would let both miss the other.
  busy.store(true, std::memory_order_seq_cst);
  if (const Target* linked = current.load(std::memory_order_seq_cst)) {
    const float (&q)[4] = message.status.quaternion;
    linked->shape->try_set_orientation(VectorMath::multiply(linked->offset, {q[0], q[1], q[2], q[3]}));
  }
  busy.store(false, std::memory_order_release);
}

}  // namespace Orvex::HardwareAPI::Haptics
