// The frame reader as a peer's bytes reach it: the first byte chooses how the
// rest is cut into reads. Cut any way, the same messages come out, and each
// one survives encoding and decoding again unchanged; a broken frame ends
// the stream with a FrameError and nothing else.
#include "wire/Frames.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

using namespace halvora::adapter::wire;

namespace {

bool same(const Message& a, const Message& b)
{
    return a.kind == b.kind && a.id == b.id && a.op == b.op && a.bytes == b.bytes && a.caller == b.caller &&
           a.result.kind == b.result.kind && a.result.text == b.result.text && a.result.number == b.result.number;
}

// Every message up to the first broken frame, which ends the list with a heartbeat of id 1.
std::vector<Message> readAll(const std::uint8_t* data, std::size_t size, std::size_t step)
{
    FrameReader reader;
    std::vector<Message> messages;
    try {
        for (std::size_t at = 0; at < size; at += step) {
            reader.append(data + at, std::min(step, size - at));
            for (Message message; reader.next(message);)
                messages.push_back(std::move(message));
        }
    } catch (const FrameError&) {
        messages.push_back(heartbeat());
        messages.back().id = 1;
    }
    return messages;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::vector<Message> whole = readAll(data + 1, size - 1, size);
    const std::vector<Message> trickled = readAll(data + 1, size - 1, data[0] % 16 + 1u);
    if (whole.size() != trickled.size() || !std::equal(whole.begin(), whole.end(), trickled.begin(), same))
        std::abort();
    for (const Message& message : whole) {
        if (message.kind == Kind::Heartbeat && message.id == 1)
            break; // the broken frame's mark
        const std::vector<std::uint8_t> frame = encode(message);
        const std::vector<Message> again = readAll(frame.data(), frame.size(), frame.size());
        if (again.size() != 1 || !same(again[0], message))
            std::abort();
    }
    return 0;
}
