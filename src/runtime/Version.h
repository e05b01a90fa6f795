#pragma once

namespace HalvoraAdapterApi {
namespace detail {

// Sent in the connect request and shown in the connect banner.
inline constexpr const char* libraryVersion = "1.2.1.34";

} // namespace detail
} // namespace HalvoraAdapterApi
