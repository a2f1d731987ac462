#pragma once

// A device that answers one request: on a thread of its own it waits for the request's bytes on
// the pty, then sends its reply (after an optional delay). Joined on destruction.

#include <chrono>
#include <thread>

#include "PtyPair.h"

namespace Orvex::Testing {

class Responder {
 public:
  Responder(const PtyPair& pty, Bytes request, Bytes reply,
            std::chrono::milliseconds delay = std::chrono::milliseconds(0),
            std::chrono::milliseconds patience = std::chrono::milliseconds(8000));
  ~Responder();
  Responder(const Responder&) = delete;
  Responder& operator=(const Responder&) = delete;

  // Whether the request arrived as expected; valid after destruction has joined, or after wait().
  bool heard_request() const { return heard; }
  void wait();

 private:
  bool heard = false;
  std::thread worker;
};

}  // namespace Orvex::Testing
