#include "CapturedFd.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "Interpose.h"

namespace Orvex::Testing {

namespace {
void flush_all() {
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
}
}  // namespace

CapturedFd::CapturedFd(int fd) : fd(fd) {
  flush_all();
  std::FILE* temp = std::tmpfile();
  file = ::dup(fileno(temp));
  std::fclose(temp);
  saved = ::dup(fd);
  ::dup2(file, fd);
}

CapturedFd::~CapturedFd() {
  restore();
}

std::string CapturedFd::text() {
  restore();
  return captured;
}

void CapturedFd::restore() {
  if (saved < 0) return;
  flush_all();
  ::dup2(saved, fd);
  real::close(saved);
  saved = -1;
  ::lseek(file, 0, SEEK_SET);
  char chunk[4096];
  ssize_t r;
  while ((r = real::read(file, chunk, sizeof chunk)) > 0) captured.append(chunk, chunk + r);
  real::close(file);
  file = -1;
}

}  // namespace Orvex::Testing
