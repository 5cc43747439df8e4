#pragma once
// Single-block DES (FIPS 46) as NTLM needs it.
#include <array>
#include <cstdint>

namespace yux::net {

// One DES block operation: encrypt when `encrypt` is non-zero, else decrypt.
// The key's parity bits are ignored.
void DesEcbBlock(const std::uint8_t input[8], std::uint8_t output[8], const std::uint8_t key[8],
                 int encrypt);

// Spreads 56 key bits over 8 bytes, 7 bits each in the high bits, with the
// lowest bit of every byte set for odd parity.
std::array<std::uint8_t, 8> NtlmDesKey(const std::uint8_t key7[7]);

}  // namespace yux::net
