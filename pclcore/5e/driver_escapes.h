// Escapes applications, the interface library and the watermark capture
// program send to the library.
#pragma once

#include "kvplat/engine.h"

namespace kv5e {

// Escape numbers.
inline constexpr ULONG kEscQuerySupport = 8;
inline constexpr ULONG kEscSetCopyCount = 17;
inline constexpr ULONG kEscPassthroughQuery = 19;
inline constexpr ULONG kEscGetTechnology = 20;
inline constexpr ULONG kEscRawData = 5000;
inline constexpr ULONG kEscGetDevmode = 5002;
inline constexpr ULONG kEscWatermarkQuery = 20481;
inline constexpr ULONG kEscSetCapturePath = 20530;
inline constexpr ULONG kEscGetDevmodeInto = 20531;
inline constexpr ULONG kEscSetOutputMode = 20532;
inline constexpr ULONG kEscForcedColour = 0xA8A8A8A8;
inline constexpr ULONG kMaxCopies = 999;

ULONG DrvEscape(SURFOBJ* surface, ULONG escape, ULONG inputSize, PVOID input, ULONG outputSize,
                PVOID output);
ULONG DrvDrawEscape(SURFOBJ* surface, ULONG escape, void* clip, RECTL* bounds, ULONG inputSize,
                    PVOID input);

}  // namespace kv5e
