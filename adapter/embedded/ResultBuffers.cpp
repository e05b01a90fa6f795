#include "embedded/ResultBuffers.h"

#include "core/Packing.h"

#include <msgpack.hpp>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <unordered_set>

namespace halvora::adapter::embedded {

namespace {

struct Ledger {
    std::mutex buffersMutex; // guards buffers
    std::unordered_set<std::uint8_t*> buffers;
};

// Leaked on purpose: results may still be given back while the process exits.
Ledger& ledger()
{
    static Ledger* instance = new Ledger;
    return *instance;
}

// The result's one MessagePack value: nil, its number, or its text.
template <typename Out>
void packResult(Out& out, const Result& result)
{
    switch (result.kind) {
    case Result::Kind::Null:
        out.pack_nil();
        break;
    case Result::Kind::Number:
        out.pack(result.number);
        break;
    case Result::Kind::Text:
    case Result::Kind::Error:
        out.pack(result.text);
        break;
    }
}

constexpr NativeResult allocationFailure{nullptr, 0, 1, 0};

} // namespace

NativeResult makeNativeResult(const Result& result) noexcept
{
    try {
        const Result tooLarge = Result::error("the result does not fit in a 32-bit length");
        const Result* encoded = &result;
        std::size_t size = packedSize([&](auto& out) { packResult(out, *encoded); });
        if (size > std::numeric_limits<std::uint32_t>::max()) {
            encoded = &tooLarge;
            size = packedSize([&](auto& out) { packResult(out, *encoded); });
        }
        // Written straight into the buffer handed out: the text is copied once.
        auto* data = static_cast<std::uint8_t*>(std::malloc(size));
        if (data == nullptr)
            return allocationFailure;
        packInto(data, [&](auto& out) { packResult(out, *encoded); });
        try {
            Ledger& buffers = ledger();
            std::lock_guard<std::mutex> lock(buffers.buffersMutex);
            buffers.buffers.insert(data);
        } catch (...) {
            std::free(data);
            return allocationFailure;
        }
        return NativeResult{data, static_cast<std::uint32_t>(size),
                            static_cast<std::uint8_t>(encoded->kind == Result::Kind::Error),
                            static_cast<std::uint8_t>(encoded->kind == Result::Kind::Null)};
    } catch (...) {
        return allocationFailure;
    }
}

void releaseNativeResult(std::uint8_t* data) noexcept
{
    if (data == nullptr)
        return;
    {
        Ledger& buffers = ledger();
        std::lock_guard<std::mutex> lock(buffers.buffersMutex);
        if (buffers.buffers.erase(data) == 0)
            return;
    }
    std::free(data);
}

std::size_t liveResultBuffers() noexcept
{
    Ledger& buffers = ledger();
    std::lock_guard<std::mutex> lock(buffers.buffersMutex);
    return buffers.buffers.size();
}

} // namespace halvora::adapter::embedded
