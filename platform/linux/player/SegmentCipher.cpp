// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/player/SegmentCipher.h"

#include <nettle/aes.h>
#include <nettle/cbc.h>

namespace orvo::platform::native {
namespace {

class NettleCipher final : public SegmentCipher {
public:
    NettleCipher(const Block& key, const Block& iv)
        : iv_(iv)
    {
        aes128_set_decrypt_key(&context_, key.data());
    }

    std::vector<std::uint8_t> update(std::span<const std::uint8_t> input) override
    {
        pending_.insert(pending_.end(), input.begin(), input.end());
        if (pending_.size() <= blockSize) {
            return {};
        }
        // Whole blocks, keeping at least one back for finish().
        std::size_t ready = (pending_.size() - 1) / blockSize * blockSize;
        std::vector<std::uint8_t> plain(ready);
        decrypt(pending_.data(), ready, plain.data());
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(ready));
        return plain;
    }

    std::optional<std::vector<std::uint8_t>> finish() override
    {
        if (pending_.size() != blockSize) {
            return std::nullopt;
        }
        std::vector<std::uint8_t> plain(blockSize);
        decrypt(pending_.data(), blockSize, plain.data());
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
    static constexpr std::size_t blockSize = AES_BLOCK_SIZE;

    // Whole blocks; the chaining value moves on in iv_.
    void decrypt(const std::uint8_t* input, std::size_t length, std::uint8_t* output)
    {
        cbc_decrypt(&context_, &decryptBlocks, blockSize, iv_.data(), length, output, input);
    }

    static void decryptBlocks(const void* context, std::size_t length, std::uint8_t* output, const std::uint8_t* input)
    {
        aes128_decrypt(static_cast<const aes128_ctx*>(context), length, output, input);
    }

    aes128_ctx context_ {};
    Block iv_;
    std::vector<std::uint8_t> pending_;
};

} // namespace

std::unique_ptr<SegmentCipher> SegmentCipher::create(const Block& key, const Block& iv)
{
    return std::make_unique<NettleCipher>(key, iv);
}

} // namespace orvo::platform::native
