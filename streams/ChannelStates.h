// The states of an engine channel, kept in the engine's table of twelve
// 32-bit values. The stream buffers write their own channel's entry.
#pragma once

#include <cstdint>

constexpr int32_t CHANNEL_FREE = 0;
constexpr int32_t CHANNEL_LOADING = 1;
constexpr int32_t CHANNEL_LOADED = 2;
constexpr int32_t CHANNEL_STARTING = 3;
constexpr int32_t CHANNEL_PLAYING = 4;
// 5 is not used.
constexpr int32_t CHANNEL_CLOSING = 6;
constexpr int32_t CHANNEL_TERMINATED = 7;

// One channel per stereo output pair of the card.
constexpr int32_t kNumChannels = 12;
