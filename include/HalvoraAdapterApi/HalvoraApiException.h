#pragma once

#include <HalvoraAdapterApi/Export.h>

#include <exception>
#include <string>

namespace HalvoraAdapterApi {

/// @brief The one exception type of the library: every failure of its own
/// making, and every error that the native adapter reports, arrives as one of
/// these, raised directly or through a future.
class HALVORA_ADAPTER_API HalvoraApiException : public std::exception {
public:
    /// @brief An exception carrying @p message.
    explicit HalvoraApiException(const std::string& message);
    /// @brief Copies the message.
    HalvoraApiException(const HalvoraApiException& other);
    /// @brief Takes the message; the source's message is left empty.
    HalvoraApiException(HalvoraApiException&& other) noexcept;
    /// @brief Copies the message.
    HalvoraApiException& operator=(const HalvoraApiException& other);
    /// @brief Takes the message; the source's message is left empty.
    HalvoraApiException& operator=(HalvoraApiException&& other) noexcept;
    ~HalvoraApiException() override;

    /// @brief The message.
    const char* what() const noexcept override;

private:
    std::string message;
};

} // namespace HalvoraAdapterApi
