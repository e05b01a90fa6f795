#include "embedded/ResultBuffers.h"

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

msgpack::sbuffer encode(const Result& result)
{
    msgpack::sbuffer buffer;
    msgpack::packer<msgpack::sbuffer> out(buffer);
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
    return buffer;
}

constexpr NativeResult allocationFailure{nullptr, 0, 1, 0};

} // namespace

NativeResult makeNativeResult(const Result& result) noexcept
{
    try {
        msgpack::sbuffer bytes = encode(result);
        if (bytes.size() > std::numeric_limits<std::uint32_t>::max())
            bytes = encode(Result::error("the result does not fit in a 32-bit length"));
        auto* data = static_cast<std::uint8_t*>(std::malloc(bytes.size()));
        if (data == nullptr)
            return allocationFailure;
        std::memcpy(data, bytes.data(), bytes.size());
        try {
            Ledger& buffers = ledger();
            std::lock_guard<std::mutex> lock(buffers.buffersMutex);
            buffers.buffers.insert(data);
        } catch (...) {
            std::free(data);
            return allocationFailure;
        }
        return NativeResult{data, static_cast<std::uint32_t>(bytes.size()),
                            static_cast<std::uint8_t>(result.kind == Result::Kind::Error),
                            static_cast<std::uint8_t>(result.kind == Result::Kind::Null)};
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
