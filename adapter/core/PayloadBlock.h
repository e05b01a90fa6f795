// The memory a payload is packed into on its way to the runtime that reads
// it. A large one is mapped on its own in huge pages where the system grants
// them: a block of that size taken from the allocator would be handed back to
// the system when freed and faulted in again 4 KiB at a time on the next
// message.
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

    // From this size on a block is mapped on its own, in huge pages where
    // the system grants them, and unmapped when released.
    static constexpr std::size_t mappedFrom = std::size_t{2} << 20;

private:
    void release() noexcept;

    std::uint8_t* data_ = nullptr;
    std::size_t capacity_ = 0;
};

} // namespace halvora::adapter
