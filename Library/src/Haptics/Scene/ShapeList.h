#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "Haptics/Effect.h"
#include "Haptics/Shape.h"
#include "../Realtime/ReaderEpoch.h"

namespace Orvex::HardwareAPI::Haptics {

// A scene's shapes, handed to the loop as read-copy-update snapshots: application threads make
// a new list beside the published one and swap the pointer in one atomic step, so the loop sees
// either the old list or the new one, whole. The old one (and any shape only it held) is freed
// on the application's thread once the loop's cycle counter shows that no cycle still reads it.
//
// Threads: add(), remove(), clear(), shapes(), find() and size() from any thread, serialised by
// a lock the loop never takes. enter() and leave() bracket one cycle's reading on the thread of
// the one loop that renders the scene.
class ShapeList {
 public:
  struct Entry {
    std::shared_ptr<Shape> shape;
    std::uint64_t id;  // unique within the list's lifetime: the loop keys its own state by it
  };
  struct Snapshot {
    std::vector<Entry> entries;
    std::uint64_t version;  // grows with each change; never reused, unlike an address
  };

  explicit ShapeList(std::size_t capacity);
  ~ShapeList();  // no loop may still read the list
  ShapeList(const ShapeList&) = delete;
  ShapeList& operator=(const ShapeList&) = delete;

  AddResult add(std::shared_ptr<Shape> shape);
  bool remove(const Shape* shape);
  void clear();
  std::vector<std::shared_ptr<Shape>> shapes() const;
  std::shared_ptr<Shape> find(std::uint64_t id) const;
  std::size_t size() const;

  // Loop thread: the snapshot to read this cycle, valid until leave().
  const Snapshot& enter() noexcept;
  void leave() noexcept;

 private:
  // Publishes next and frees the snapshot it replaces once no cycle can still read it.
  void publish(std::unique_ptr<Snapshot> next);
  std::unique_ptr<Snapshot> copy() const;  // of the current one, with the next version

  const std::size_t capacity;
  mutable std::mutex writers;          // never taken by the loop
  std::unique_ptr<Snapshot> current;   // under writers
  std::uint64_t ids = 0;               // under writers
  std::atomic<const Snapshot*> published{nullptr};
  ReaderEpoch cycles;  // each cycle between enter() and leave() is a read section
};

}  // namespace Orvex::HardwareAPI::Haptics
