// The whole event callback on arbitrary bytes, as the adapter would deliver
// them to a connected runtime with registered channel ends.
#include "FuzzWorld.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // A copy of exactly `size` bytes, so that any read past the end is caught.
    const std::vector<std::uint8_t> input(data, data + size);
    HalvoraFuzz::FuzzWorld::instance().fire(input.data(), input.size());
    return 0;
}
