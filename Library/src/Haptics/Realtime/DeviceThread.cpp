#include "DeviceThread.h"

#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>

#include <cassert>
#include <cerrno>
#include <memory>
#include <new>
#include <utility>

namespace Orvex::HardwareAPI::Haptics {

namespace {

struct Body {
  std::function<void()> run;
  const char* name;
};

}  // namespace

DeviceThread::~DeviceThread() { assert(!running && "a device thread is left neither joined nor detached"); }

void* DeviceThread::entry(void* started) {
  // The body is the thread's own from here: whatever it holds lives as long as the thread.
  const std::unique_ptr<Body> body(static_cast<Body*>(started));
  prctl(PR_SET_TIMERSLACK, 1, 0, 0, 0);
  pthread_setname_np(pthread_self(), body->name);
  body->run();
  return nullptr;
}

int DeviceThread::start_from_owner(const DeviceThreadOptions& options,
                                   std::function<void()> run) {
  assert(!running && "a device thread is started twice");
  std::unique_ptr<Body> body(new (std::nothrow) Body{std::move(run), options.name});
  if (!body) return ENOMEM;
  pthread_attr_t attributes;
  if (const int error = pthread_attr_init(&attributes)) return error;
  pthread_attr_setstacksize(&attributes, options.stack_size);
  if (options.realtime) {
    sched_param parameters{};
    parameters.sched_priority =
        (sched_get_priority_min(SCHED_FIFO) + sched_get_priority_max(SCHED_FIFO)) / 2 +
        options.above;
    pthread_attr_setinheritsched(&attributes, PTHREAD_EXPLICIT_SCHED);
    pthread_attr_setschedpolicy(&attributes, SCHED_FIFO);
    pthread_attr_setschedparam(&attributes, &parameters);
  }
  // A new thread inherits the mask of the thread that makes it.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  const int error = pthread_create(&thread, &attributes, &DeviceThread::entry, body.get());
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  pthread_attr_destroy(&attributes);
  if (error) return error;
  body.release();  // the thread's now
  running = true;
  return 0;
}

void DeviceThread::join_from_owner() {
  if (!running) return;
  pthread_join(thread, nullptr);
  running = false;
}

void DeviceThread::detach_from_owner() {
  if (!running) return;
  pthread_detach(thread);
  running = false;
}

}  // namespace Orvex::HardwareAPI::Haptics
