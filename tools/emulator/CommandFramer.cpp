#include "CommandFramer.h"

namespace Orvex::Emulator {

Message CommandFramer::push(const std::uint8_t* bytes, std::size_t n, double now_s) {
  Message stale;
  if (!pending.empty() && now_s - pending_since_s > stale_after_s) stale.swap(pending);
  if (pending.empty()) pending_since_s = now_s;
  pending.insert(pending.end(), bytes, bytes + n);
  last_push_s = now_s;
  return stale;
}

std::optional<Piece> CommandFramer::next() {
  if (pending.empty()) return std::nullopt;
  const Frame frame = rule(pending.data(), pending.size());
  if (frame.kind == Frame::Kind::incomplete || frame.length > pending.size()) return std::nullopt;
  Piece piece{
      frame.kind == Frame::Kind::command,
      Message(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(frame.length))};
  pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(frame.length));
  // What is left began in the latest read.
  pending_since_s = last_push_s;
  return piece;
}

}  // namespace Orvex::Emulator
