#include "AllocationCounter.h"

#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>

namespace {

std::atomic<std::uint64_t> allocations{0};
std::atomic<std::uint64_t> allocations_off_main{0};
// Set during static initialisation, which runs on the main thread; allocations made before it
// count as off the main thread, which no measurement looks at.
const pthread_t main_thread = ::pthread_self();

void count_one() {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (!::pthread_equal(::pthread_self(), main_thread))
    allocations_off_main.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

namespace Orvex::Bench {

std::uint64_t allocation_count() {
  return allocations.load(std::memory_order_relaxed);
}

std::uint64_t allocation_count_off_main_thread() {
  return allocations_off_main.load(std::memory_order_relaxed);
}

std::uint64_t counted_probe_allocations() {
  // Through a volatile pointer, so that the compiler cannot leave out any pair.
  void* volatile block = nullptr;
  const std::uint64_t before = allocation_count();
  block = new char[16];
  delete[] static_cast<char*>(block);
  block = std::malloc(16);
  block = std::realloc(block, 32);
  std::free(block);
  block = std::calloc(4, 4);
  std::free(block);
  return allocation_count() - before;
}

std::uint64_t counted_probe_allocations_off_main_thread() {
  std::uint64_t counted = 0;
  // The window opens and closes on the probing thread, so that its start and end stay out.
  std::thread([&counted] {
    const std::uint64_t before = allocation_count_off_main_thread();
    counted_probe_allocations();
    counted = allocation_count_off_main_thread() - before;
  }).join();
  return counted;
}

}  // namespace Orvex::Bench

// The linker routes the program's calls to malloc, calloc and realloc here (--wrap).
extern "C" {
void* __real_malloc(std::size_t n);
void* __real_calloc(std::size_t count, std::size_t n);
void* __real_realloc(void* p, std::size_t n);

void* __wrap_malloc(std::size_t n) {
  count_one();
  return __real_malloc(n);
}

void* __wrap_calloc(std::size_t count, std::size_t n) {
  count_one();
  return __real_calloc(count, n);
}

void* __wrap_realloc(void* p, std::size_t n) {
  count_one();
  return __real_realloc(p, n);
}
}

// The array and non-throwing forms of the standard library call these two.
void* operator new(std::size_t n) {
  count_one();
  if (void* p = __real_malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}

void* operator new(std::size_t n, std::align_val_t alignment) {
  count_one();
  void* p = nullptr;
  if (::posix_memalign(&p, static_cast<std::size_t>(alignment), n ? n : 1) == 0) return p;
  throw std::bad_alloc();
}

void operator delete(void* p) noexcept {
  std::free(p);
}

void operator delete(void* p, std::align_val_t) noexcept {
  std::free(p);
}

void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}
