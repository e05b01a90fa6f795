// The memory a payload is packed into on its way to the runtime that reads
// it. Every message of a payload's size would otherwise take a fresh block
// from the allocator, which hands freed blocks of that size back to the
// system and faults them in again 4 KiB at a time on the next message.
#pragma once

#include <cstddef>
#include <cstdint>

namespace halvora::adapter {

class PayloadBlock {
public:
    PayloadBlock() = default;
    // At least `size` bytes, not initialised. Throws std::bad_alloc.
    explicit PayloadBlock(std::size_t size);
    PayloadBlock(PayloadBlock&& other) noexcept;
    PayloadBlock& operator=(PayloadBlock&& other) noexcept;
    PayloadBlock(const PayloadBlock&) = delete;
    PayloadBlock& operator=(const PayloadBlock&) = delete;
    ~PayloadBlock();

    std::uint8_t* data() const { return data_; }
    std::size_t capacity() const { return capacity_; }

    // Blocks up to this size are kept, one for the process, for the next
    // payload; a megabyte of payload and the event around it.
    static constexpr std::size_t keptLimit = (std::size_t{1} << 20) + 4096;
    // From this size on a block is mapped on its own, in huge pages where
    // the system grants them, and unmapped when released.
    static constexpr std::size_t mappedFrom = std::size_t{2} << 20;

private:
    void release() noexcept;

    std::uint8_t* data_ = nullptr;
    std::size_t capacity_ = 0;
    bool mapped_ = false;
};

} // namespace halvora::adapter
