#include "core/PayloadBlock.h"

#include <cstdlib>
#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace halvora::adapter {

namespace {

#if defined(__linux__)
constexpr std::size_t hugePage = std::size_t{2} << 20;
constexpr std::size_t page = 4096;

std::size_t roundUp(std::size_t value, std::size_t unit)
{
    return (value + unit - 1) / unit * unit;
}

// A mapping of `size` bytes (rounded to pages) that starts on a huge-page
// boundary, so that all of it but a partial last huge page can be backed by
// huge pages; null when the system refuses the mapping.
std::uint8_t* mapAligned(std::size_t size)
{
    const std::size_t length = roundUp(size, page);
    void* raw = ::mmap(nullptr, length + hugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        return nullptr;
    auto* start = static_cast<std::uint8_t*>(raw);
    const auto address = reinterpret_cast<std::uintptr_t>(start);
    std::uint8_t* aligned = start + (roundUp(address, hugePage) - address);
    if (aligned != start)
        ::munmap(start, static_cast<std::size_t>(aligned - start));
    const std::size_t tail = static_cast<std::size_t>(start + length + hugePage - (aligned + length));
    if (tail != 0)
        ::munmap(aligned + length, tail);
    // Advice only: where no huge page is free the kernel uses small ones.
    ::madvise(aligned, length, MADV_HUGEPAGE);
    return aligned;
}

void unmap(std::uint8_t* data, std::size_t capacity)
{
    ::munmap(data, roundUp(capacity, page));
}
#endif

} // namespace

PayloadBlock::PayloadBlock(std::size_t size)
{
#if defined(__linux__)
    if (size >= mappedFrom) {
        data_ = mapAligned(size);
        if (data_ == nullptr)
            throw std::bad_alloc();
        capacity_ = size;
        return;
    }
#endif
    data_ = static_cast<std::uint8_t*>(std::malloc(size == 0 ? 1 : size));
    if (data_ == nullptr)
        throw std::bad_alloc();
    capacity_ = size;
}

PayloadBlock::PayloadBlock(PayloadBlock&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), capacity_(std::exchange(other.capacity_, 0))
{}

PayloadBlock& PayloadBlock::operator=(PayloadBlock&& other) noexcept
{
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

PayloadBlock::~PayloadBlock()
{
    release();
}

void PayloadBlock::release() noexcept
{
    if (data_ == nullptr)
        return;
#if defined(__linux__)
    if (capacity_ >= mappedFrom) { // as the constructor chose
        unmap(data_, capacity_);
        data_ = nullptr;
        return;
    }
#endif
    std::free(data_);
    data_ = nullptr;
}

} // namespace halvora::adapter
