#include "embedded/ResultBuffers.h"

#include "core/Packing.h"

#include <msgpack.hpp>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace halvora::adapter::embedded {

namespace {

// Each buffer handed out, with the runtime's reply it lies in when it was
// handed on in place (null for one of our own).
struct Ledger {
    std::mutex buffersMutex; // guards buffers
    std::unordered_map<std::uint8_t*, std::shared_ptr<const HeldText>> buffers;
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
    case Result::Kind::Error: {
        const std::string_view text = result.textView();
        out.pack_str(static_cast<std::uint32_t>(text.size()));
        out.pack_str_body(text.data(), static_cast<std::uint32_t>(text.size()));
        break;
    }
    }
}

constexpr NativeResult allocationFailure{nullptr, 0, 1, 0};

// The runtime's reply handed on as the result buffer, without a copy; false
// when it cannot be (then the text is copied as any other).
bool handOnHeld(const Result& result, NativeResult& native)
{
    const HeldText& held = *result.held;
    if (held.packedSize() > std::numeric_limits<std::uint32_t>::max())
        return false;
    // Read only by the caller: the pointer is non-const only because the C interface's is.
    auto* data = const_cast<std::uint8_t*>(held.packed());
    {
        Ledger& buffers = ledger();
        std::lock_guard<std::mutex> lock(buffers.buffersMutex);
        if (!buffers.buffers.emplace(data, result.held).second)
            return false;
    }
    native = NativeResult{data, static_cast<std::uint32_t>(held.packedSize()),
                          static_cast<std::uint8_t>(result.kind == Result::Kind::Error), 0};
    return true;
}

} // namespace

NativeResult makeNativeResult(const Result& result) noexcept
{
    try {
        NativeResult native{};
        if (result.held && (result.kind == Result::Kind::Text || result.kind == Result::Kind::Error) &&
            handOnHeld(result, native))
            return native;
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
            buffers.buffers.emplace(data, nullptr);
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
    std::shared_ptr<const HeldText> held;
    {
        Ledger& buffers = ledger();
        std::lock_guard<std::mutex> lock(buffers.buffersMutex);
        const auto found = buffers.buffers.find(data);
        if (found == buffers.buffers.end())
            return;
        held = std::move(found->second);
        buffers.buffers.erase(found);
    }
    // A reply goes back to its runtime here, outside the lock.
    if (!held)
        std::free(data);
}

std::size_t liveResultBuffers() noexcept
{
    Ledger& buffers = ledger();
    std::lock_guard<std::mutex> lock(buffers.buffersMutex);
    return buffers.buffers.size();
}

} // namespace halvora::adapter::embedded
