#pragma once

// The floor: the force exchange as a plain loop on the port's descriptor, with the wait pattern
// the library must use: a non-blocking read, then a pause of 100 microseconds between attempts.

#include "Round.h"

namespace Orvex::Bench {

class FloorExchange : public Contender {
 public:
  explicit FloorExchange(const char* port_path);
  ~FloorExchange() override;
  FloorExchange(const FloorExchange&) = delete;
  FloorExchange& operator=(const FloorExchange&) = delete;

  bool exchange(std::size_t i) override;

 private:
  int fd = -1;
};

}  // namespace Orvex::Bench
