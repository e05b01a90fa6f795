// MessagePack forms of the option classes, as the connect and launch
// requests carry them: maps with keys in ascending byte order.
#pragma once

#include <HalvoraAdapterApi/RuntimeOptions.h>
#include <HalvoraAdapterApi/RvmOptions.h>

#include "native/MsgPack.h"

namespace HalvoraAdapterApi {
namespace detail {

void packRvmOptions(Packer& packer, const RvmOptions& options);
void packRuntimeOptions(Packer& packer, const RuntimeOptions& options);

} // namespace detail
} // namespace HalvoraAdapterApi
