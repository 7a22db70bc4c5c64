// Fault injection points. Each point is disarmed until a test arms it; the
// armed flag is checked without a lock so that unarmed points cost one load.
#include "kvplat/fault.h"

#include <atomic>
#include <mutex>

namespace kvplat::fault {
namespace {

constexpr int kPointCount = static_cast<int>(Point::Count);

struct PointState {
  std::atomic<bool> armed{false};
  std::uint64_t passesLeft = 0;  // calls (or bytes) that still succeed
  std::uint64_t failuresLeft = 0;
  bool limited = false;          // failuresLeft counts down when true
};

struct FaultTable {
  std::mutex lock;
  PointState points[kPointCount];
};

FaultTable& Table() {
  static FaultTable table;
  return table;
}

bool ValidPoint(Point point) {
  const int index = static_cast<int>(point);
  return index >= 0 && index < kPointCount;
}

}  // namespace

void FailAfter(Point point, std::uint64_t passes, std::uint64_t times) {
  if (!ValidPoint(point)) return;
  FaultTable& table = Table();
  std::lock_guard guard(table.lock);
  PointState& state = table.points[static_cast<int>(point)];
  state.passesLeft = passes;
  state.failuresLeft = times;
  state.limited = times != 0;
  state.armed.store(true, std::memory_order_release);
}

void Clear(Point point) {
  if (!ValidPoint(point)) return;
  FaultTable& table = Table();
  std::lock_guard guard(table.lock);
  table.points[static_cast<int>(point)].armed.store(false, std::memory_order_release);
}

void ClearAll() {
  FaultTable& table = Table();
  std::lock_guard guard(table.lock);
  for (PointState& state : table.points) state.armed.store(false, std::memory_order_release);
}

bool ShouldFail(Point point, std::uint64_t amount, std::uint64_t* allowed) {
  if (allowed != nullptr) *allowed = amount;
  if (!ValidPoint(point)) return false;
  FaultTable& table = Table();
  PointState& state = table.points[static_cast<int>(point)];
  if (!state.armed.load(std::memory_order_acquire)) return false;

  std::lock_guard guard(table.lock);
  if (!state.armed.load(std::memory_order_relaxed)) return false;
  if (point == Point::WritePrinter) {
    // Bytes: a write fits entirely within the remaining budget or it fails,
    // letting through only the part that was still allowed.
    if (amount <= state.passesLeft) {
      state.passesLeft -= amount;
      return false;
    }
    if (allowed != nullptr) *allowed = state.passesLeft;
    state.passesLeft = 0;
  } else {
    if (state.passesLeft > 0) {
      --state.passesLeft;
      return false;
    }
    if (allowed != nullptr) *allowed = 0;
  }
  if (state.limited && --state.failuresLeft == 0) {
    state.armed.store(false, std::memory_order_release);
  }
  return true;
}

}  // namespace kvplat::fault
