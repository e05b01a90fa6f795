#include <HalvoraAdapterApi/HalvoraApiException.h>

#include <utility>

namespace HalvoraAdapterApi {

HalvoraApiException::HalvoraApiException(const std::string& message) : message(message) {}

HalvoraApiException::HalvoraApiException(const HalvoraApiException& other) = default;

HalvoraApiException::HalvoraApiException(HalvoraApiException&& other) noexcept
    // std::exception holds nothing to move.
    : std::exception(other), message(std::move(other.message)) // NOLINT(performance-move-constructor-init)
{
    other.message.clear();
}

HalvoraApiException& HalvoraApiException::operator=(const HalvoraApiException& other)
{
    if (this != &other) {
        std::exception::operator=(other);
        message = other.message;
    }
    return *this;
}

HalvoraApiException& HalvoraApiException::operator=(HalvoraApiException&& other) noexcept
{
    if (this != &other) {
        std::exception::operator=(other);
        message = std::move(other.message);
        other.message.clear();
    }
    return *this;
}

HalvoraApiException::~HalvoraApiException() = default;

const char* HalvoraApiException::what() const noexcept
{
    return message.c_str();
}

} // namespace HalvoraAdapterApi
