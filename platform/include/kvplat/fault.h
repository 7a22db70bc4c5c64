// Fault injection: tests make a chosen platform call fail so that every
// documented failure path of the drivers can be exercised.
#pragma once

#include <cstdint>

namespace kvplat::fault {

enum class Point : int {
  Alloc,          // heap, local and engine allocations
  WritePrinter,   // counted in bytes: the write that would pass the limit fails
  FileMapping,    // CreateFileMappingW and MapViewOfFile
  CreateFile,     // CreateFileW
  CreateProcess,  // CreateProcessW
  OpenPrinter,    // OpenPrinterW
  TempPath,       // GetTempPathW
  LoadModule,     // LoadLibraryW, EngLoadModule
  Count
};

// After `passes` more successful calls (bytes for WritePrinter), every call at
// the point fails until Clear(). `times` limits how many failures happen
// (0 = unlimited).
void FailAfter(Point point, std::uint64_t passes, std::uint64_t times = 0);
void Clear(Point point);
void ClearAll();
// Called by the platform at each point: true when this call must fail.
// For WritePrinter `amount` is the byte count; returns how many bytes may
// still pass through *allowed (the rest fails).
bool ShouldFail(Point point, std::uint64_t amount = 1, std::uint64_t* allowed = nullptr);

}  // namespace kvplat::fault
