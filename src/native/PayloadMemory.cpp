#include "native/PayloadMemory.h"

#include <cstdint>
#include <mutex>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace HalvoraAdapterApi {
namespace detail {

namespace {

// Below this the allocator's own caches serve well; above the limit a block
// is not held for good.
constexpr std::size_t keptTextMinimum = 4096;
constexpr std::size_t keptTextLimit = (std::size_t{1} << 20) + 4096;

// Huge pages are asked for from this size on: smaller blocks rarely hold an
// aligned huge page, and are kept or cached by the allocator instead.
constexpr std::size_t hugePage = std::size_t{2} << 20;
constexpr std::size_t adviseFrom = 2 * hugePage;

// Two strings, as the argument of a handler that is still running may be let
// go of only after the next message's has been made.
struct KeptTexts {
    std::mutex keptMutex; // guards texts
    std::string texts[2];
};

// Leaked on purpose: a string may still be let go of while the process exits.
KeptTexts& kept()
{
    static KeptTexts* instance = new KeptTexts;
    return *instance;
}

bool worthKeeping(std::size_t size)
{
    return size >= keptTextMinimum && size <= keptTextLimit;
}

// Takes a kept string that holds `size` bytes without growing, if any.
void takeKept(std::string& text, std::size_t size)
{
    KeptTexts& spare = kept();
    std::lock_guard<std::mutex> lock(spare.keptMutex);
    for (std::string& candidate : spare.texts) {
        if (candidate.capacity() >= size) {
            text.swap(candidate);
            return;
        }
    }
}

// Keeps the released string in place of the smaller kept one.
void keepText(std::string* text) noexcept
{
    if (worthKeeping(text->capacity())) {
        KeptTexts& spare = kept();
        std::lock_guard<std::mutex> lock(spare.keptMutex);
        std::string& smaller = spare.texts[0].capacity() <= spare.texts[1].capacity() ? spare.texts[0] : spare.texts[1];
        if (smaller.capacity() < text->capacity()) {
            smaller.swap(*text);
        }
    }
    delete text;
}

void dropText(std::string* text) noexcept
{
    delete text;
}

} // namespace

std::shared_ptr<std::string> sharedText(std::string_view text, bool reuse)
{
    // A small text is neither kept nor advised: one block for the string and its count.
    if (text.size() < keptTextMinimum) {
        return std::make_shared<std::string>(text);
    }
    std::unique_ptr<std::string, void (*)(std::string*) noexcept> value(new std::string, reuse ? keepText : dropText);
    if (reuse && worthKeeping(text.size())) {
        takeKept(*value, text.size());
    } else {
        value->reserve(text.size());
        adviseHugePages(value->data(), text.size()); // only where the block is large enough
    }
    value->assign(text.data(), text.size());
    return std::shared_ptr<std::string>(std::move(value));
}

void adviseHugePages(void* data, std::size_t size) noexcept
{
#if defined(__linux__)
    if (size < adviseFrom) {
        return;
    }
    auto* const bytes = static_cast<std::uint8_t*>(data);
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + hugePage - 1) / hugePage * hugePage;
    const std::uintptr_t last = (begin + size) / hugePage * hugePage;
    if (first < last) {
        ::madvise(bytes + (first - begin), last - first, MADV_HUGEPAGE);
    }
#else
    (void)data;
    (void)size;
#endif
}

} // namespace detail
} // namespace HalvoraAdapterApi
