#include <HalvoraAdapterApi/HalvoraApiException.h>

#include <iostream>

int main()
{
    try {
        throw HalvoraAdapterApi::HalvoraApiException("installed package works");
    } catch (const std::exception& e) {
        std::cout << "HalvoraAdapterApi consumer: " << e.what() << "\n";
    }
    return 0;
}
