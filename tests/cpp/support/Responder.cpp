#include "Responder.h"

namespace Orvex::Testing {

Responder::Responder(const PtyPair& pty, Bytes request, Bytes reply,
                     std::chrono::milliseconds delay, std::chrono::milliseconds patience)
    : worker([this, &pty, request = std::move(request), reply = std::move(reply), delay, patience] {
        if (pty.receive(request.size(), patience) != request) return;
        heard = true;
        std::this_thread::sleep_for(delay);
        pty.send(reply);
      }) {}

Responder::~Responder() {
  wait();
}

void Responder::wait() {
  if (worker.joinable()) worker.join();
}

}  // namespace Orvex::Testing
