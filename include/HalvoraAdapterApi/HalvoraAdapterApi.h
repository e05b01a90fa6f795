// Umbrella header: everything an application needs.
#pragma once

#include <HalvoraAdapterApi/ChannelClient.h>
#include <HalvoraAdapterApi/ChannelProvider.h>
#include <HalvoraAdapterApi/Channels.h>
#include <HalvoraAdapterApi/DesktopSystem.h>
#include <HalvoraAdapterApi/EndpointId.h>
#include <HalvoraAdapterApi/HalvoraApiException.h>
#include <HalvoraAdapterApi/MessageChannelClient.h>
#include <HalvoraAdapterApi/Runtime.h>
#include <HalvoraAdapterApi/RuntimeFactory.h>
#include <HalvoraAdapterApi/RuntimeOptions.h>
#include <HalvoraAdapterApi/RvmOptions.h>
