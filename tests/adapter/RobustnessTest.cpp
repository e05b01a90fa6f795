#include "AdapterFixture.h"

using namespace halvora::adapter::testing;

namespace {

struct MalformedRequest {
    const char* what;
    AdapterFunction function;
    std::vector<std::uint8_t> bytes;
};

class AMalformedRequest : public AdapterFixture, public ::testing::WithParamInterface<MalformedRequest> {};

TEST_P(AMalformedRequest, EndsWithAnErrorMessageInsteadOfACrash)
{
    FakeRuntime runtime;
    runtime.connect();
    const Outcome outcome = callAdapter(GetParam().function, GetParam().bytes);
    ASSERT_EQ(outcome.kind, Outcome::Kind::Error) << GetParam().what;
    EXPECT_FALSE(outcome.text.empty());
}

std::vector<std::uint8_t> map(const RequestBuilder& builder)
{
    return builder.bytes();
}

const std::uint64_t unknownHandle = 0xfffffffffffffull;

INSTANTIATE_TEST_SUITE_P(
    EveryFunction, AMalformedRequest,
    ::testing::Values(
        MalformedRequest{"a nil request", d_halvora_channels_create_provider, {}},
        MalformedRequest{"not a map", d_halvora_channels_create_provider, {0x93, 0x01, 0x02, 0x03}},
        MalformedRequest{"a truncated map", d_halvora_channels_client_dispatch, {0x82, 0xa6, 'h', 'a'}},
        MalformedRequest{"a tiny array announcing four billion entries",
                         d_halvora_channels_client_dispatch,
                         {0xdd, 0xff, 0xff, 0xff, 0xff}},
        MalformedRequest{"a tiny map announcing four billion entries",
                         d_halvora_channels_connect_to_provider,
                         {0xdf, 0xff, 0xff, 0xff, 0xff}},
        MalformedRequest{"a string announcing four gigabytes",
                         d_halvora_desktop_launch_manifest,
                         {0x81, 0xdb, 0xff, 0xff, 0xff, 0xff}},
        MalformedRequest{"deeply nested arrays", d_halvora_channels_create_provider,
                         std::vector<std::uint8_t>(4096, 0x91)},
        MalformedRequest{"a missing handle", d_halvora_channels_create_provider,
                         map(RequestBuilder().add("provider_name", "x"))},
        MalformedRequest{"a handle of the wrong type", d_halvora_channels_create_provider,
                         map(RequestBuilder().add("handle", "1").add("provider_name", "x"))},
        MalformedRequest{"an unknown handle", d_halvora_channels_create_provider,
                         map(RequestBuilder().add("handle", unknownHandle).add("provider_name", "x"))},
        MalformedRequest{
            "a wait flag that is not a boolean", d_halvora_channels_connect_to_provider,
            map(RequestBuilder().add("handle", std::uint64_t{1}).add("provider_name", "x").add("wait", "yes"))},
        MalformedRequest{"an unknown client id", d_halvora_channels_disconnect_from_provider,
                         map(RequestBuilder().add("handle", std::uint64_t{1}).add("client_id", "client:none:1"))},
        MalformedRequest{
            "a dispatch without topic", d_halvora_channels_client_dispatch,
            map(RequestBuilder().add("handle", std::uint64_t{1}).add("client_id", "c").add("is_null", true))},
        MalformedRequest{"a destination that is not a map", d_halvora_channels_client_dispatch_to_endpoint,
                         map(RequestBuilder()
                                 .add("handle", std::uint64_t{1})
                                 .add("destination", "c")
                                 .add("source", "p")
                                 .add("topic", "t")
                                 .add("is_null", true))},
        MalformedRequest{"rvm options that are not a map", d_halvora_desktop_launch_manifest,
                         map(RequestBuilder()
                                 .add("handle", std::uint64_t{1})
                                 .add("manifest_url", "file:///x")
                                 .add("rvm_options", "fast"))},
        MalformedRequest{"a disconnect without handle", d_halvora_disconnect, map(RequestBuilder())}),
    [](const ::testing::TestParamInfo<MalformedRequest>& info) {
        std::string name = info.param.what;
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c)))
                c = '_';
        return name;
    });

class ARuntimeThatMisbehaves : public AdapterFixture {};

TEST_F(ARuntimeThatMisbehaves, CannotDispatchWithAnotherRuntimesClientId)
{
    FakeRuntime provider, client, stranger;
    provider.connect();
    client.connect();
    stranger.connect();
    provider.createProvider("misbehaving");
    const std::string clientId = client.connectToProvider("misbehaving", false).text;
    const Outcome outcome = stranger.dispatch(clientId, "t");
    ASSERT_TRUE(outcome.isError());
    EXPECT_NE(outcome.text.find(clientId), std::string::npos) << outcome.text;
    EXPECT_TRUE(stranger.disconnectFromProvider(clientId).isError());
}

} // namespace
