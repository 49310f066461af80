// The digital-output word: bit n of `ZylInterface::digitalOutputs` drives output channel n. Some
// channels are wired active-low, so what is stored is not always what the channel does; everything
// that reads or changes a channel goes through here rather than knowing bit positions itself.
#pragma once

#include <cstdint>

namespace zyl::detail {

inline constexpr unsigned kOutputChannels = 64;
// Channels wired active-low: a stored 1 means off. Every output is off in the word an instrument
// object starts with, which is therefore this mask (see ZylInterface::digitalOutputs).
inline constexpr uint64_t kInvertedOutputs = 0x00000005F0000C8Full;

// Channels with a fixed use.
inline constexpr unsigned kPolarityChannel = 14;  // on: DAC channels 5 to 9 are negated
inline constexpr unsigned kPumpChannel = 34;      // follows the pump at initialisation
inline constexpr unsigned kInitializedChannel = 26;

// A channel's bit in the word; none for a channel beyond the word.
constexpr uint64_t outputBit(unsigned channel) {
  return channel < kOutputChannels ? uint64_t{1} << channel : 0;
}

// Channel 14 switches these with it; none of them is inverted.
inline constexpr uint64_t kChannel14Group = outputBit(9) | outputBit(24) | outputBit(25);

constexpr bool outputOn(uint64_t word, unsigned channel) {
  const uint64_t bit = outputBit(channel);
  return bit && ((word & bit) != 0) != ((kInvertedOutputs & bit) != 0);
}

// Stores a channel as on or off, inverting it where it is wired active-low. A channel beyond the
// word changes nothing.
constexpr void setOutput(uint64_t& word, unsigned channel, bool on) {
  const uint64_t bit = outputBit(channel);
  if (on != ((kInvertedOutputs & bit) != 0))
    word |= bit;
  else
    word &= ~bit;
}

static_assert((kChannel14Group & kInvertedOutputs) == 0);
static_assert(!outputOn(kInvertedOutputs, 0) && !outputOn(kInvertedOutputs, kPumpChannel) &&
              !outputOn(kInvertedOutputs, kPolarityChannel));

}  // namespace zyl::detail
