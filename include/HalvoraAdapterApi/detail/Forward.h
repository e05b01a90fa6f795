// Internal types that public headers name only by reference.
#pragma once

namespace HalvoraAdapterApi {
namespace detail {
class TaskQueue;
class FuturesManager;
struct ChannelMessage;
struct RuntimeAccess;
} // namespace detail
} // namespace HalvoraAdapterApi
