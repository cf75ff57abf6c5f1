// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Decrypts an AES-128 HLS segment (CBC with PKCS#7 padding, RFC 8216 §5.2)
// piece by piece as its body arrives, so decoding can start before the whole
// segment is in. Nettle does the cipher: GnuTLS's own, without GnuTLS's start-up
// work and memory in a process that has not used TLS yet.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace orvo::platform::native {

class SegmentCipher {
public:
    using Block = std::array<std::uint8_t, 16>;
    // Absent when the cipher cannot be set up.
    static std::unique_ptr<SegmentCipher> create(const Block& key, const Block& iv);
    virtual ~SegmentCipher() = default;

    // Plain bytes of the input so far; the last block is held back until
    // finish() since it carries the padding.
    virtual std::vector<std::uint8_t> update(std::span<const std::uint8_t> input) = 0;
    // The rest, without padding; absent when the input was not whole blocks
    // or its padding is invalid.
    virtual std::optional<std::vector<std::uint8_t>> finish() = 0;
};

} // namespace orvo::platform::native
