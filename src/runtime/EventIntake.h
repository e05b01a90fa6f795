// The two C callbacks that the native adapter receives at connect: every
// event the runtime sends arrives through handleRuntimeEvent, and each reply
// buffer it returns comes back through releaseReply.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace HalvoraAdapterApi {
namespace detail {

extern "C" std::uint8_t* handleRuntimeEvent(const std::uint8_t* data, std::uint64_t length, void* runtime);
extern "C" void releaseReply(std::uint8_t* reply);

// An 8-byte little-endian length, then the reply map
// {"is_error", "is_null", "payload_json"}.
std::uint8_t* makeCallbackReply(const std::shared_ptr<std::string>& result, bool isError);

} // namespace detail
} // namespace HalvoraAdapterApi
