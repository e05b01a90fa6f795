#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (corpus/<target>/). Run it
again after changing a seed; the seeds are kept in the repository."""
import os
import struct

def pack(value):
    if value is None:
        return b"\xc0"
    if value is True:
        return b"\xc3"
    if value is False:
        return b"\xc2"
    if isinstance(value, int):
        if 0 <= value < 128:
            return bytes([value])
        return b"\xcf" + struct.pack(">Q", value)
    if isinstance(value, str):
        data = value.encode()
        if len(data) < 32:
            return bytes([0xA0 | len(data)]) + data
        return b"\xd9" + bytes([len(data)]) + data
    if isinstance(value, list):
        return bytes([0x90 | len(value)]) + b"".join(pack(v) for v in value)
    if isinstance(value, dict):
        return bytes([0x80 | len(value)]) + b"".join(pack(k) + pack(v) for k, v in value.items())
    raise TypeError(value)

def endpoint(ident):
    return ["uuid-" + ident, "app", "news", "chan", ident]

def event(kind, ident="client-1", channel="news", topic="echo", payload='{"a":1}', is_null=False):
    return pack([kind, endpoint(ident), channel, topic, payload, "", is_null])

events = {
    "client_message": event("ChannelMessage", "provider-1"),
    "client_throw": event("ChannelMessage", "provider-1", topic="throw"),
    "provider_message": event("ChannelProviderMessage"),
    "provider_reenter": event("ChannelProviderMessage", topic="reenter"),
    "provider_null": event("ChannelProviderMessage", topic="nothing", payload="", is_null=True),
    "client_connected": event("ProviderClientConnected"),
    "client_disconnected": event("ProviderClientDisconnected", "throw"),
    "channel_disconnected": event("ChannelDisconnected", "provider-1"),
    "adapter_disconnected": pack(["AdapterDisconnected", ["", "", "", "", ""], "", "", "", "", False]),
    "short_array": pack(["ChannelMessage"]),
    "not_array": pack({"type": "ChannelMessage"}),
}

# Endpoint ids in the form the core makes them.
PROVIDER, CLIENT = "provider:abcdefgh:1", "client:abcdefgh:2"
requests = {  # first byte chooses the request kind
    "create_provider": b"\x00" + pack({"handle": 1, "provider_name": "prices"}),
    "connect": b"\x01" + pack({"handle": 2, "provider_name": "news", "wait": True}),
    "disconnect_client": b"\x02" + pack({"handle": 2, "client_id": CLIENT}),
    "client_dispatch": b"\x03" + pack({"handle": 2, "client_id": CLIENT, "topic": "t",
                                        "payload_json": "{}", "is_null": False}),
    "dispatch_to_endpoint": b"\x04" + pack({"handle": 1, "source": PROVIDER, "topic": "t",
                                            "destination": {"endpoint_id": CLIENT},
                                            "payload_json": "", "is_null": True}),
    "unknown_request": b"\x05" + pack({"handle": 1}),
}

root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
corpora = {
    "fuzz_library": events,
    "fuzz_adapter_requests": requests,
}
for target, seeds in corpora.items():
    os.makedirs(os.path.join(root, target), exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(root, target, name), "wb") as out:
            out.write(data)
# Frames: a cut byte, then a stream of length-prefixed frames of each kind.
def frame(body):
    return struct.pack(">I", len(body)) + body

def binary(data):
    return b"\xc4" + bytes([len(data)]) + data

frames = {
    "request": b"\x03" + frame(b"\x95\x00\x01" + pack("client_dispatch") + binary(pack({"handle": 1})) + b"\x00"),
    "answers": b"\x05" + frame(pack([1, 2, 1, "text", 0])) + frame(pack([3, 3, 3, "failed", 0])),
    "event_heartbeat": b"\x00" + frame(b"\x93\x02\x04" + binary(b"\x97\x01")) + frame(pack([4])),
    "oversized": b"\x01" + b"\x00\x40\x00\x01" + b"\x95",
}
os.makedirs(os.path.join(root, "fuzz_frames"), exist_ok=True)
for name, data in frames.items():
    with open(os.path.join(root, "fuzz_frames", name), "wb") as out:
        out.write(data)
