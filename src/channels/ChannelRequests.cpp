#include "channels/ChannelRequests.h"

#include "channels/ChannelMessage.h"

namespace HalvoraAdapterApi {
namespace detail {

// Every map is written with its keys in ascending byte order.

void packRecord(Packer& packer, const ConnectToProviderRequest& request)
{
    packMapHeader(packer, 3);
    packString(packer, "handle");
    packUInt64(packer, request.handle);
    packString(packer, "provider_name");
    packString(packer, request.providerName);
    packString(packer, "wait");
    packBool(packer, request.wait);
}

void packRecord(Packer& packer, const DisconnectFromProviderRequest& request)
{
    packMapHeader(packer, 2);
    packString(packer, "client_id");
    packString(packer, request.clientId);
    packString(packer, "handle");
    packUInt64(packer, request.handle);
}

SplitRequest clientDispatchTail(const std::string& topic, const std::string& payload, bool isNull,
                                std::size_t clientIdHint)
{
    // The head: a map header, "client_id" and its string, "handle" and a uint64.
    constexpr std::size_t headWithoutId = 1 + 10 + 5 + 7 + 9;
    SplitRequest request(headWithoutId + clientIdHint, requestOverhead + payload.size() + topic.size());
    Packer packer = request.tail();
    packString(packer, "is_null");
    packBool(packer, isNull);
    packString(packer, "payload_json");
    packString(packer, payload);
    packString(packer, "topic");
    packString(packer, topic);
    return request;
}

EncodedRequest finishClientDispatch(SplitRequest tail, std::uint64_t handle, const std::string& clientId)
{
    msgpack::sbuffer head(64 + clientId.size());
    Packer packer(head);
    packMapHeader(packer, 5);
    packString(packer, "client_id");
    packString(packer, clientId);
    packString(packer, "handle");
    packUInt64(packer, handle);
    return std::move(tail).finish(head);
}

void packRecord(Packer& packer, const CreateProviderRequest& request)
{
    packMapHeader(packer, 2);
    packString(packer, "handle");
    packUInt64(packer, request.handle);
    packString(packer, "provider_name");
    packString(packer, request.providerName);
}

namespace {

std::size_t endpointTextSize(const EndpointId& endpoint)
{
    return endpoint.uuid.size() + endpoint.name.size() + endpoint.channelName.size() + endpoint.channelId.size() +
           endpoint.endpointId.size();
}

} // namespace

SplitRequest dispatchToEndpointTail(const EndpointId& destination, const std::string& topic, const std::string& payload,
                                    bool isNull, std::size_t sourceHint)
{
    // The head: a map header, "destination" and its map, "handle" and a uint64.
    constexpr std::size_t headWithoutTexts = 1 + 12 + 128 + 7 + 9;
    SplitRequest request(headWithoutTexts + endpointTextSize(destination),
                         requestOverhead + payload.size() + topic.size() + sourceHint);
    Packer packer = request.tail();
    packString(packer, "is_null");
    packBool(packer, isNull);
    packString(packer, "payload_json");
    packString(packer, payload);
    return request;
}

EncodedRequest finishDispatchToEndpoint(SplitRequest tail, const EndpointId& destination, std::uint64_t handle,
                                        const std::string& source, const std::string& topic)
{
    Packer after = tail.tail();
    packString(after, "source");
    packString(after, source);
    packString(after, "topic");
    packString(after, topic);

    msgpack::sbuffer head(192 + endpointTextSize(destination));
    Packer packer(head);
    packMapHeader(packer, 6);
    packString(packer, "destination");
    packEndpointId(packer, destination);
    packString(packer, "handle");
    packUInt64(packer, handle);
    return std::move(tail).finish(head);
}

} // namespace detail
} // namespace HalvoraAdapterApi
