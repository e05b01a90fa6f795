#pragma once

#include <HalvoraAdapterApi/Export.h>

#include <exception>
#include <string>

namespace HalvoraAdapterApi {

// The one exception type of the library: every failure of its own making, and
// every error that the native adapter reports, arrives as one of these.
class HALVORA_ADAPTER_API HalvoraApiException : public std::exception {
public:
    explicit HalvoraApiException(const std::string& message);
    HalvoraApiException(const HalvoraApiException& other);
    // Leaves the source's message empty.
    HalvoraApiException(HalvoraApiException&& other) noexcept;
    HalvoraApiException& operator=(const HalvoraApiException& other);
    HalvoraApiException& operator=(HalvoraApiException&& other) noexcept;
    ~HalvoraApiException() override;

    const char* what() const noexcept override;

private:
    std::string message;
};

} // namespace HalvoraAdapterApi
