// Memory for payloads on their way through the library: the strings it hands
// out and the buffers it writes them into.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace HalvoraAdapterApi {
namespace detail {

// A copy of `text` in a string of its own. With `reuse`, for strings that are
// let go of soon after they are made (a handler's argument), a string of
// payload size (up to about a megabyte) is kept when its last holder lets go,
// and its buffer written again by the next payload: freed blocks of that size
// would otherwise go back to the system and be faulted in again page by page
// on every message. Without it, for strings the application holds as long as
// it likes (a dispatch's result), nothing is kept.
std::shared_ptr<std::string> sharedText(std::string_view text, bool reuse);

// Asks for huge pages under a large block that is about to be written for
// the first time, so that it is faulted in 2 MiB at a time instead of 4 KiB;
// advice only, and nothing for blocks too small to hold an aligned huge page.
void adviseHugePages(void* data, std::size_t size) noexcept;

} // namespace detail
} // namespace HalvoraAdapterApi
