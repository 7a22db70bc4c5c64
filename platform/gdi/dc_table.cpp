// The process-wide table of device contexts. HDC values are serial numbers
// (never addresses), so a stale or forged handle finds nothing instead of
// pointing into freed memory; values are not reused within a process.
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "gdi/dc.h"
#include "kvplat/kernel.h"

namespace kvplat::gdi {
namespace {

constexpr std::uintptr_t kHandleTag = 0xD;       // low bits of every HDC value
constexpr std::uintptr_t kMaxSerial = 0x0FFFFFFF;  // 28 bits of serial above the tag

struct Table {
  std::mutex mutex;
  std::uintptr_t nextSerial = 1;
  std::unordered_map<std::uintptr_t, std::shared_ptr<DC>> dcs;
};

Table& TheTable() {
  static auto* table = new Table;  // outlives every static destructor
  return *table;
}

thread_local std::string t_failureText;

}  // namespace

void SetFailureText(std::string text) { t_failureText = std::move(text); }

std::string LastFailureText() { return t_failureText; }

HDC RegisterDc(std::shared_ptr<DC> dc) {
  Table& table = TheTable();
  std::lock_guard lock(table.mutex);
  if (table.nextSerial > kMaxSerial) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  const std::uintptr_t value = (table.nextSerial++ << 4) | kHandleTag;
  table.dcs.emplace(value, std::move(dc));
  return reinterpret_cast<HDC>(value);
}

std::shared_ptr<DC> FindDc(HDC hdc) {
  Table& table = TheTable();
  std::lock_guard lock(table.mutex);
  const auto found = table.dcs.find(reinterpret_cast<std::uintptr_t>(hdc));
  if (found == table.dcs.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return found->second;
}

std::shared_ptr<DC> ReleaseDc(HDC hdc) {
  Table& table = TheTable();
  std::lock_guard lock(table.mutex);
  const auto found = table.dcs.find(reinterpret_cast<std::uintptr_t>(hdc));
  if (found == table.dcs.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  std::shared_ptr<DC> dc = std::move(found->second);
  table.dcs.erase(found);
  return dc;
}

}  // namespace kvplat::gdi
