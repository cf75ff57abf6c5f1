// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Starts the demo radio with the test faults (radio_faults.py, see README.md)
// for one test and talks to it over its stdin; it ends with this object.

#include "tests/support/TestSupport.h"

#include <filesystem>
#include <string>

namespace orvo::test {

class HlsServer {
public:
    struct Options {
        int port = 0; // HTTPS port; 0 picks a free one
        std::filesystem::path caDir {}; // the test CA's folder; empty: a fresh CA
        double segmentSeconds = 1.0;
        int window = 6;
    };

    explicit HlsServer(const Options& options);
    ~HlsServer();
    HlsServer(const HlsServer&) = delete;
    HlsServer& operator=(const HlsServer&) = delete;

    int port() const { return port_; }
    const std::filesystem::path& caFile() const { return caFile_; }
    // https://127.0.0.1:<port>/liveradio/<id>/playlist.m3u8
    std::string url(const std::string& channelId) const;

    // Faults, settings and counter keys as README.md lists them; "*" is every
    // channel. An unknown fault, setting or value throws.
    void setFault(const std::string& mode, const std::string& channel = "*");
    void configure(const std::string& name, const std::string& value, const std::string& channel = "*");
    int count(const std::string& key);

    // The tone a channel plays, in hertz.
    int toneFrequency(const std::string& channelId);

private:
    std::string command(const std::string& line);

    TempDir work_;
    platform::glib::GRef<GSubprocess> process_;
    platform::glib::GRef<GDataInputStream> replies_;
    int port_ = 0;
    std::filesystem::path caFile_;
};

} // namespace orvo::test
