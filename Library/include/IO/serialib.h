#pragma once

#include <cstdint>
#include <streambuf>

namespace Orvex::HardwareAPI::IO {

// Unbuffered stream buffer over one serial port descriptor. It never installs a get or put area,
// so every stream operation reaches the overrides below, every write is one write() call, and
// every read polls the non-blocking port for at most one second.
class serialib : public std::basic_streambuf<char> {
 public:
  serialib() = default;
  serialib(const serialib&) = delete;
  serialib& operator=(const serialib&) = delete;
  ~serialib() override;

  // Collects up to n bytes into buf within one second: the count stored, or -2 on a read error.
  std::int32_t read_timed(char* buf, std::uint32_t n);

  // Descriptor of the open port, -1 when none. The opener stores it here; whoever closes the
  // port early sets it back to -1, so that it is closed exactly once.
  int fd = -1;

 protected:
  std::basic_streambuf<char>* setbuf(char* s, std::streamsize n) override;
  std::streamsize showmanyc() override;
  std::streamsize xsgetn(char* s, std::streamsize n) override;
  int_type underflow() override;
  int_type uflow() override;
  int_type pbackfail(int_type c) override;
  std::streamsize xsputn(const char* s, std::streamsize n) override;
  int_type overflow(int_type c) override;

 private:
  char lookahead = 0;
  bool has_lookahead = false;
};

}  // namespace Orvex::HardwareAPI::IO
