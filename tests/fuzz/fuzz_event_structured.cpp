// The whole event callback on well-formed MessagePack event arrays: the input
// chooses each element (mostly the names the world knows, sometimes any text
// or another type), so that the fuzzer spends its time in routing and the
// handlers rather than in the decoder.
#include "FuzzWorld.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <msgpack.hpp>

#include <array>

namespace {

using Packer = msgpack::packer<msgpack::sbuffer>;

template <std::size_t N>
void packText(FuzzedDataProvider& input, Packer& packer, const std::array<const char*, N>& known)
{
    if (input.ConsumeBool()) {
        packer.pack(std::string(input.PickValueInArray(known)));
    } else {
        packer.pack(input.ConsumeRandomLengthString(64));
    }
}

// Any other value: the types an event must survive in any position.
void packOther(FuzzedDataProvider& input, Packer& packer)
{
    switch (input.ConsumeIntegralInRange(0, 6)) {
    case 0:
        packer.pack_nil();
        break;
    case 1:
        packer.pack(input.ConsumeBool());
        break;
    case 2:
        packer.pack(input.ConsumeIntegral<std::int64_t>());
        break;
    case 3:
        packer.pack(input.ConsumeFloatingPoint<double>());
        break;
    case 4: {
        const std::string bytes = input.ConsumeRandomLengthString(16);
        packer.pack_bin(static_cast<std::uint32_t>(bytes.size()));
        packer.pack_bin_body(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
        break;
    }
    case 5:
        packer.pack_map(0);
        break;
    default:
        packer.pack_array(0);
        break;
    }
}

const std::array<const char*, 8> types{"ChannelMessage",
                                       "ChannelDisconnected",
                                       "ProviderClientConnected",
                                       "ProviderClientDisconnected",
                                       "ChannelProviderMessage",
                                       "AdapterDisconnected",
                                       "",
                                       "Unknown"};
const std::array<const char*, 3> channelNames{"news", "other", ""};
const std::array<const char*, 5> topics{"echo", "nothing", "throw", "reenter", "unregistered"};
const std::array<const char*, 4> endpointTexts{"client-1", "provider-1", "throw", ""};

void packEndpoint(FuzzedDataProvider& input, Packer& packer)
{
    if (input.ConsumeIntegralInRange(0, 7) == 0) {
        packOther(input, packer);
        return;
    }
    const std::size_t fields = input.ConsumeIntegralInRange<std::size_t>(0, 7);
    packer.pack_array(static_cast<std::uint32_t>(fields));
    for (std::size_t i = 0; i < fields; ++i) {
        packText(input, packer, endpointTexts);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    msgpack::sbuffer buffer;
    Packer packer(buffer);
    const std::size_t elements = input.ConsumeIntegralInRange<std::size_t>(0, 9);
    packer.pack_array(static_cast<std::uint32_t>(elements));
    for (std::size_t i = 0; i < elements; ++i) {
        if (input.ConsumeIntegralInRange(0, 9) == 0) {
            packOther(input, packer);
            continue;
        }
        switch (i) {
        case 0:
            packText(input, packer, types);
            break;
        case 1:
            packEndpoint(input, packer);
            break;
        case 2:
            packText(input, packer, channelNames);
            break;
        case 3:
            packText(input, packer, topics);
            break;
        case 6:
            packer.pack(input.ConsumeBool());
            break;
        default:
            packer.pack(input.ConsumeRandomLengthString(256));
            break;
        }
    }
    // Trailing bytes after the event are ignored by the intake; exercise that too.
    const std::string trailing = input.ConsumeRemainingBytesAsString();
    buffer.write(trailing.data(), trailing.size());
    HalvoraFuzz::FuzzWorld::instance().fire(reinterpret_cast<const std::uint8_t*>(buffer.data()), buffer.size());
    return 0;
}
