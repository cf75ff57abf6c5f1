// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/player/SegmentCipher.h"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>

namespace orvo::platform::native {
namespace {

class GnutlsCipher final : public SegmentCipher {
public:
    explicit GnutlsCipher(gnutls_cipher_hd_t handle)
        : handle_(handle)
    {
    }
    ~GnutlsCipher() override { gnutls_cipher_deinit(handle_); }

    std::vector<std::uint8_t> update(std::span<const std::uint8_t> input) override
    {
        pending_.insert(pending_.end(), input.begin(), input.end());
        if (pending_.size() <= blockSize) {
            return {};
        }
        // Whole blocks, keeping at least one back for finish().
        std::size_t ready = (pending_.size() - 1) / blockSize * blockSize;
        std::vector<std::uint8_t> plain(ready);
        if (gnutls_cipher_decrypt2(handle_, pending_.data(), ready, plain.data(), ready) < 0) {
            failed_ = true;
            pending_.clear();
            return {};
        }
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(ready));
        return plain;
    }

    std::optional<std::vector<std::uint8_t>> finish() override
    {
        if (failed_ || pending_.size() != blockSize) {
            return std::nullopt;
        }
        std::vector<std::uint8_t> plain(blockSize);
        if (gnutls_cipher_decrypt2(handle_, pending_.data(), blockSize, plain.data(), blockSize) < 0) {
            return std::nullopt;
        }
        const std::size_t padding = plain.back();
        if (padding == 0 || padding > blockSize) {
            return std::nullopt;
        }
        for (std::size_t i = blockSize - padding; i < blockSize; ++i) {
            if (plain[i] != padding) {
                return std::nullopt;
            }
        }
        plain.resize(blockSize - padding);
        return plain;
    }

private:
    static constexpr std::size_t blockSize = 16;
    gnutls_cipher_hd_t handle_;
    std::vector<std::uint8_t> pending_;
    bool failed_ = false;
};

} // namespace

std::unique_ptr<SegmentCipher> SegmentCipher::create(const Block& key, const Block& iv)
{
    Block keyCopy = key;
    Block ivCopy = iv;
    gnutls_datum_t keyDatum { keyCopy.data(), static_cast<unsigned>(keyCopy.size()) };
    gnutls_datum_t ivDatum { ivCopy.data(), static_cast<unsigned>(ivCopy.size()) };
    gnutls_cipher_hd_t handle = nullptr;
    if (gnutls_cipher_init(&handle, GNUTLS_CIPHER_AES_128_CBC, &keyDatum, &ivDatum) < 0) {
        return nullptr;
    }
    return std::make_unique<GnutlsCipher>(handle);
}

} // namespace orvo::platform::native
