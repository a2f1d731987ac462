#include "ShapeList.h"

#include <algorithm>

namespace Orvex::HardwareAPI::Haptics {

ShapeList::ShapeList(std::size_t capacity)
    : capacity(capacity), current(std::make_unique<Snapshot>(Snapshot{{}, 0})) {
  published.store(current.get(), std::memory_order_relaxed);
}

ShapeList::~ShapeList() = default;

std::unique_ptr<ShapeList::Snapshot> ShapeList::copy() const {
  return std::make_unique<Snapshot>(Snapshot{current->entries, current->version + 1});
}

void ShapeList::publish(std::unique_ptr<Snapshot> next) {
  // Release: the new list's entries are written before the loop can find them.
  published.store(next.get(), std::memory_order_release);
  cycles.wait_for_readers_from_writer();
  current = std::move(next);  // frees the old list, and the shapes only it held
}

AddResult ShapeList::add(std::shared_ptr<Shape> shape) {
  if (!shape) return AddResult::null;
  std::lock_guard<std::mutex> hold(writers);
  const auto& entries = current->entries;
  if (std::any_of(entries.begin(), entries.end(),
                  [&](const Entry& e) { return e.shape == shape; }))
    return AddResult::duplicate;
  if (entries.size() >= capacity) return AddResult::full;
  auto next = copy();
  next->entries.push_back({std::move(shape), ++ids});
  publish(std::move(next));
  return AddResult::added;
}

bool ShapeList::remove(const Shape* shape) {
  std::lock_guard<std::mutex> hold(writers);
  auto next = copy();
  auto& entries = next->entries;
  const auto found = std::find_if(entries.begin(), entries.end(),
                                  [&](const Entry& e) { return e.shape.get() == shape; });
  if (!shape || found == entries.end()) return false;
  entries.erase(found);
  publish(std::move(next));
  return true;
}

void ShapeList::clear() {
  std::lock_guard<std::mutex> hold(writers);
  if (current->entries.empty()) return;
  auto next = copy();
  next->entries.clear();
  publish(std::move(next));
}

std::vector<std::shared_ptr<Shape>> ShapeList::shapes() const {
  std::lock_guard<std::mutex> hold(writers);
  std::vector<std::shared_ptr<Shape>> all;
  for (const Entry& e : current->entries) all.push_back(e.shape);
  return all;
}

std::shared_ptr<Shape> ShapeList::find(std::uint64_t id) const {
  std::lock_guard<std::mutex> hold(writers);
  for (const Entry& e : current->entries)
    if (e.id == id) return e.shape;
  return nullptr;
}

std::size_t ShapeList::size() const {
  std::lock_guard<std::mutex> hold(writers);
  return current->entries.size();
}

const ShapeList::Snapshot& ShapeList::enter() noexcept {
  cycles.enter_from_reader();
  // Acquire: pairs with publish()'s release.
  return *published.load(std::memory_order_acquire);
}

void ShapeList::leave() noexcept { cycles.leave_from_reader(); }

}  // namespace Orvex::HardwareAPI::Haptics
