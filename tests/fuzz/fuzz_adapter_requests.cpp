// The embedded runtime's request maps: the first byte chooses the request,
// the rest is its MessagePack map, read on a fresh routing core. Whatever
// the bytes, the request completes exactly once; routing itself is left to
// the adapter's tests, which build its runtimes and channels.
#include "core/Requests.h"

#include <cstdlib>
#include <vector>

using namespace halvora::adapter;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const char* const operations[] = {"create_provider", "connect_to_provider",  "disconnect_from_provider",
                                             "client_dispatch", "dispatch_to_endpoint", "no_such_request"};
    if (size == 0)
        return 0;
    RuntimeCore core;
    const std::vector<std::uint8_t> request(data + 1, data + size); // exactly the bytes, so reads past them are caught
    int completions = 0;
    serveRequest(core, operations[data[0] % 6], request.empty() ? nullptr : request.data(), request.size(),
                 RequestContext{}, [&completions](Result) { ++completions; });
    if (completions != 1)
        std::abort();
    return 0;
}
