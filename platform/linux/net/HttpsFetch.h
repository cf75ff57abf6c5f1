// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// HTTPS requests on the main loop over one process-wide libsoup session, so
// that the stream players share open TLS connections and a channel switch
// costs no new handshake. Every request, and every redirect it follows, is
// HTTPS with the certificate checked; redirects are followed here, at most
// five and only to https, so none can lead to cleartext. Bodies are handed on
// as they arrive and are bounded in size; a connection that stays silent too
// long fails the request.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

typedef struct _GBytes GBytes;

namespace orvo::platform::native {

struct FetchFailure {
    enum class Kind {
        Network, // refused, reset, timed out, DNS, cut short
        Certificate, // the TLS certificate did not verify
        Insecure, // an address or redirect that is not https
        TooManyRedirects,
        Status, // an HTTP status other than success; see `status`
        TooLarge, // the body is bigger than the request allows
    };
    Kind kind = Kind::Network;
    unsigned status = 0;
    std::string message;
};

struct FetchRequest {
    std::string uri;
    // Bytes [offset, offset + length) of the resource, when set.
    std::optional<std::pair<std::uint64_t, std::uint64_t>> range;
    std::size_t maxBytes = 1024 * 1024;
    // Text may come compressed (bounded after decoding by maxBytes); media
    // and keys are asked for as they are: a compressed segment saves nothing
    // and could unpack to far more than it weighs.
    bool text = false;
};

// One request under way. Destroying it cancels the request; no callback runs
// afterwards. Main loop only.
class HttpsFetch {
public:
    // Each piece of the body as it arrives; the bytes may be kept (g_bytes_ref).
    using OnBody = std::function<void(GBytes* bytes)>;
    // The end of the request: no failure when the whole body has arrived.
    // finalUri is the address answered last, after redirects.
    using OnDone = std::function<void(const std::optional<FetchFailure>& failure, const std::string& finalUri)>;

    static std::unique_ptr<HttpsFetch> start(FetchRequest request, OnBody onBody, OnDone onDone);
    virtual ~HttpsFetch() = default;
};

// Seconds a connection may stay silent (while connecting, waiting for an
// answer or reading its body) before the request fails.
inline constexpr unsigned silenceTimeoutSeconds = 8;

// Trusts pemFile's CA in addition to the system store from now on, for every
// HTTPS connection of the process (tests and the demo; releases use the system
// store only). Thread-safe; returns false when the file is unusable.
bool trustExtraCa(const std::string& pemFile);

// Loads the certificate store (the system's, plus the build's extra CA).
// Thread-safe; done once.
void loadCertificateStore();

// The one-time work of a first request to address, done ahead of it: the
// certificate store, the proxy settings and the name resolver's set-up.
// Thread-safe and blocking: meant for a warm-up thread.
void prepareRequestsTo(const std::string& address);

// Opens a connection to address's host (TCP and TLS handshake) and leaves it
// in the shared session's pool, so that a request soon after finds it ready.
// Main loop only; nothing is sent.
void preconnect(const std::string& address);

} // namespace orvo::platform::native
