// Ed25519 public keys and signature verification.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace brivet::core::ed25519 {

using PublicKey = std::array<uint8_t, 32>;

// True when the 32 bytes are a valid compressed Edwards25519 point: the
// y coordinate is below p = 2^255 - 19, (y^2 - 1) / (d y^2 + 1) has a square
// root, and the sign bit is clear when that root is zero.
bool isValidPoint(const PublicKey& key) noexcept;

// Ordinary RFC 8032 verification of a 64-byte signature over `message`
// (canonical S required; small-order keys are not refused on that account).
bool verify(const PublicKey& key, std::span<const uint8_t> message, std::span<const uint8_t, 64> signature);

}  // namespace brivet::core::ed25519
