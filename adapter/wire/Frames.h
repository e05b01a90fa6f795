// The frames that the adapter and the runtime service exchange over their
// socket: a 4-byte big-endian length, then one MessagePack array.
//
//   request      [0, id, op, request bytes, caller]  adapter -> service
//   response     [1, id, kind, text, number]         service -> adapter
//   event        [2, id, event bytes]                service -> adapter
//   event reply  [3, id, kind, text, number]         adapter -> service
//   heartbeat    [4]                                 either way
//
// Ids are chosen by the sender of a request or event and echoed by the
// answer, so any number of calls and events may be in flight at once.
// A side that has sent nothing for heartbeatInterval sends a heartbeat; any
// frame counts as life, and a side that has heard nothing for silenceLimit
// treats the other as gone.
#pragma once

#include "core/Result.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace halvora::adapter::wire {

// No frame may be larger; a peer that announces more is dropped before
// anything is allocated for it.
inline constexpr std::uint32_t maxFrameBytes = 4u << 20;

inline constexpr std::chrono::milliseconds heartbeatInterval{1000};
inline constexpr std::chrono::milliseconds silenceLimit{5000};

enum class Kind : std::uint8_t { Request = 0, Response = 1, Event = 2, EventReply = 3, Heartbeat = 4 };

struct Message {
    Kind kind = Kind::Request;
    std::uint64_t id = 0;
    std::string op;                  // requests only
    std::vector<std::uint8_t> bytes; // the request or event as the runtime gives or takes it
    std::uint64_t caller = 0;        // requests: the sender's service handle whose event thread calls, or 0
    Result result;                   // responses and event replies
};

// A frame that breaks the format; the connection that sent it is dropped.
class FrameError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

Message response(Kind kind, std::uint64_t id, Result result);
Message event(std::uint64_t id, std::vector<std::uint8_t> bytes);
Message heartbeat();

// The whole frame, length prefix included. Throws FrameError when the
// message would exceed maxFrameBytes.
std::vector<std::uint8_t> encode(const Message& message);
// A frame in three pieces: the request bytes or the answer's text stay
// where the caller holds them, so a large one is neither copied nor given
// fresh memory on its way to the socket.
struct FramePieces {
    std::vector<std::uint8_t> head; // length prefix and the fields before the body
    const std::uint8_t* body = nullptr;
    std::size_t bodyLength = 0;
    std::vector<std::uint8_t> tail; // the fields after it
};
// Throw FrameError, whose text names the bound, fit for the caller to see.
FramePieces requestPieces(std::uint64_t id, std::string_view op, const std::uint8_t* data, std::size_t length,
                          std::uint64_t caller);
FramePieces answerPieces(Kind kind, std::uint64_t id, const Result& result);
FramePieces eventPieces(std::uint64_t id, const std::uint8_t* data, std::size_t length);

// The same as one frame.
std::vector<std::uint8_t> encodeRequest(std::uint64_t id, std::string_view op, const std::uint8_t* data,
                                        std::size_t length, std::uint64_t caller);
std::vector<std::uint8_t> encodeAnswer(Kind kind, std::uint64_t id, const Result& result);
std::vector<std::uint8_t> encodeEventFrame(std::uint64_t id, const std::uint8_t* data, std::size_t length);

// Collects bytes as they arrive and cuts them into messages.
class FrameReader {
public:
    void append(const std::uint8_t* data, std::size_t length);
    // Room for at least `length` more bytes, to read into directly; commit()
    // says how many arrived there.
    std::uint8_t* space(std::size_t length);
    void commit(std::size_t length) { filled_ += length; }
    // How much the next read should take: what the frame under way still
    // lacks, so one read takes it whole, and at least 128 KiB, room for a
    // 64 KiB payload's frame and the head of the next.
    std::size_t readRoom() const;
    // The next whole message, if one is complete. Throws FrameError.
    bool next(Message& message);
    // True while part of a frame has arrived and the rest has not.
    bool partial() const { return filled_ > consumed_; }

private:
    std::vector<std::uint8_t> buffer_; // bytes [consumed_, filled_) are unread
    std::size_t consumed_ = 0;
    std::size_t filled_ = 0;
};

} // namespace halvora::adapter::wire
