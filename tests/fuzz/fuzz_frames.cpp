// The frame reader as a peer's bytes reach it: the first byte chooses how the
// rest is cut into reads. Cut any way, the same messages come out, and each
// one survives encoding and decoding again unchanged; a broken frame ends
// the stream with a FrameError and nothing else.
#include "wire/Frames.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

using halvora::adapter::wire::FrameError;
using halvora::adapter::wire::FrameReader;
using halvora::adapter::wire::Message;

bool same(const Message& a, const Message& b)
{
    return a.kind == b.kind && a.id == b.id && a.op == b.op && a.bytes == b.bytes && a.caller == b.caller &&
           a.result.kind == b.result.kind && a.result.text == b.result.text && a.result.number == b.result.number;
}

// Every message up to the first broken frame; `broken` says whether one came.
std::vector<Message> readAll(const std::uint8_t* data, std::size_t size, std::size_t step, bool& broken)
{
    FrameReader reader;
    std::vector<Message> messages;
    broken = false;
    for (std::size_t at = 0; at < size; at += step) {
        reader.append(data + at, std::min(step, size - at));
        try {
            Message message;
            while (reader.next(message))
                messages.push_back(std::move(message));
        } catch (const FrameError&) {
            broken = true;
            return messages;
        }
    }
    return messages;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t step = static_cast<std::size_t>(data[0] % 16) + 1;
    bool brokenWhole = false;
    bool brokenTrickled = false;
    const std::vector<Message> whole = readAll(data + 1, size - 1, size, brokenWhole);
    const std::vector<Message> trickled = readAll(data + 1, size - 1, step, brokenTrickled);
    if (brokenWhole != brokenTrickled || whole.size() != trickled.size())
        std::abort();
    for (std::size_t i = 0; i < whole.size(); ++i) {
        if (!same(whole[i], trickled[i]))
            std::abort();
        const std::vector<std::uint8_t> frame = halvora::adapter::wire::encode(whole[i]);
        bool broken = false;
        const std::vector<Message> again = readAll(frame.data(), frame.size(), frame.size(), broken);
        if (broken || again.size() != 1 || !same(again[0], whole[i]))
            std::abort();
    }
    return 0;
}
