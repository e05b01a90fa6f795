// Result buffers handed across the C boundary, owned by the adapter until
// deallocate_rust_buffer gives them back.
#pragma once

#include "NativeAdapter.h"
#include "core/Result.h"

#include <cstddef>
#include <cstdint>

namespace halvora::adapter::embedded {

// A null result still carries one MessagePack nil, so a caller that decodes
// every result finds a value.
NativeResult makeNativeResult(const Result& result) noexcept;

// Frees a buffer of ours, or gives a runtime's reply that was handed on as
// the result back to that runtime; a pointer we did not hand out, or one
// given back twice, is ignored instead of corrupting the heap.
void releaseNativeResult(std::uint8_t* data) noexcept;

// Buffers handed out and not yet given back.
std::size_t liveResultBuffers() noexcept;

} // namespace halvora::adapter::embedded
