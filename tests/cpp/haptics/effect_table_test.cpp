// The servo loop's effect table: new effects told apart by generation, effects with state held by
// one loop at a time, late effects ramping in, and nothing freed while a cycle renders it.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "EffectTable.h"

namespace {

using namespace Orvex::HardwareAPI::Haptics;

// Counts begin() calls and pushes with a constant force; knows when it is being rendered, so
// that its destructor can catch a free during a render.
class Probe : public Effect {
 public:
  explicit Probe(bool shareable = true, double push = 1.0)
      : is_shareable(shareable), push(push) {}
  ~Probe() override { EXPECT_FALSE(in_render.load()) << "freed while a cycle rendered it"; }

  Vector3d render(const EffectContext&, const Parameters&) noexcept override {
    in_render.store(true);
    const Vector3d force{push, 0, 0};
    in_render.store(false);
    return force;
  }
  void begin(const EffectContext&) noexcept override { ++begins; }
  bool shareable() const noexcept override { return is_shareable; }

  std::atomic<bool> in_render{false};
  int begins = 0;

 private:
  bool is_shareable;
  double push;
};

EffectContext cycle(std::uint64_t number) {
  EffectContext context;
  context.cycle = number;
  return context;
}

// Not a number on the cycles it is told, 4 N along x otherwise.
class Chatter : public Effect {
 public:
  explicit Chatter(std::vector<bool> broken) : broken(std::move(broken)) {}
  Vector3d render(const EffectContext& context, const Parameters&) noexcept override {
    const bool nan = context.cycle < broken.size() && broken[context.cycle];
    return {nan ? std::numeric_limits<double>::quiet_NaN() : 4.0, 0, 0};
  }

 private:
  std::vector<bool> broken;
};

TEST(EffectTableTest, AnEffectThatWasNotANumberIsLeftOutAndRampsBackIn) {
  EffectTable table;
  table.add(std::make_shared<Probe>(true, 1.0));
  table.add(std::make_shared<Chatter>(std::vector<bool>{false, true, false, true, true, false,
                                                        false, false, false, false}));
  // A ramp of 4 cycles: the chattering effect comes back at 1, 2, 3 N, never at once.
  const std::vector<double> expected{5, 1, 2, 1, 1, 2, 3, 4, 5, 5};
  for (std::uint64_t c = 0; c < expected.size(); ++c) {
    const EffectTable::Sum sum = table.render(cycle(c), 4);
    EXPECT_EQ(sum.force[0], expected[c]) << "cycle " << c;
    EXPECT_EQ(sum.non_finite, c == 1 || c == 3 || c == 4) << "cycle " << c;
  }
}

TEST(EffectTableTest, AnEffectAddedAgainBeginsAgainEvenAtTheSameAddress) {
  EffectTable table;
  auto probe = std::make_shared<Probe>();
  ASSERT_EQ(table.add(probe), AddResult::added);
  table.render(cycle(0), 0);
  table.render(cycle(1), 0);
  EXPECT_EQ(probe->begins, 1);
  ASSERT_TRUE(table.remove(probe.get()));
  ASSERT_EQ(table.add(probe), AddResult::added);  // same address, same slot
  table.render(cycle(2), 0);
  EXPECT_EQ(probe->begins, 2);
  table.restart();
  table.render(cycle(0), 0);
  EXPECT_EQ(probe->begins, 3);
}

TEST(EffectTableTest, RefusesNullDuplicatesAndAFullTable) {
  EffectTable table;
  auto probe = std::make_shared<Probe>();
  EXPECT_EQ(table.add(nullptr), AddResult::null);
  ASSERT_EQ(table.add(probe), AddResult::added);
  EXPECT_EQ(table.add(probe), AddResult::duplicate);
  for (std::size_t i = 1; i < EffectTable::capacity; ++i)
    ASSERT_EQ(table.add(std::make_shared<Probe>()), AddResult::added);
  EXPECT_EQ(table.add(std::make_shared<Probe>()), AddResult::full);
  EXPECT_EQ(table.render(cycle(0), 0).force[0], double(EffectTable::capacity));
}

TEST(EffectTableTest, AnEffectWithStateIsHeldByOneTableAtATime) {
  EffectTable first, second;
  auto stateful = std::make_shared<Probe>(false);
  auto shared = std::make_shared<Probe>(true);
  ASSERT_EQ(first.add(stateful), AddResult::added);
  EXPECT_EQ(second.add(stateful), AddResult::held_elsewhere);
  ASSERT_EQ(first.add(shared), AddResult::added);
  EXPECT_EQ(second.add(shared), AddResult::added);
  first.remove(stateful.get());
  EXPECT_EQ(second.add(stateful), AddResult::added);
}

TEST(EffectTableTest, AnEffectBegunAfterTheFirstCycleRampsInOnItsOwn) {
  EffectTable table;
  ASSERT_EQ(table.add(std::make_shared<Probe>(true, 2.0)), AddResult::added);
  EXPECT_DOUBLE_EQ(table.render(cycle(0), 4).force[0], 2.0);  // the loop's own ramp covers it
  ASSERT_EQ(table.add(std::make_shared<Probe>(true, 4.0)), AddResult::added);
  const double expected[] = {3.0, 4.0, 5.0, 6.0, 6.0};
  for (std::uint64_t i = 0; i < 5; ++i)
    EXPECT_DOUBLE_EQ(table.render(cycle(10 + i), 4).force[0], expected[i]) << "cycle " << i;
}

TEST(EffectTableStress, WritersOnFourThreadsNeverFreeAnEffectWhileItIsRendered) {
  EffectTable table;
  std::atomic<bool> done{false};
  std::thread loop([&] {
    for (std::uint64_t number = 0; !done.load(); ++number) table.render(cycle(number), 3);
  });
  std::vector<std::thread> writers;
  for (int w = 0; w < 4; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < 2000; ++i) {
        auto probe = std::make_shared<Probe>(w % 2 == 0);
        if (table.add(probe) == AddResult::added && i % 3 != 0) table.remove(probe.get());
        if (i % 97 == 0) table.clear();
      }
    });
  }
  for (auto& writer : writers) writer.join();
  done.store(true);
  loop.join();
}

}  // namespace
