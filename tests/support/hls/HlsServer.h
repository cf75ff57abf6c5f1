// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The demo radio with the test faults (radio_faults.py, README.md) for one
// test, driven over its stdin; it ends with this object.

#include "tests/support/TestSupport.h"

#include <filesystem>
#include <string>

namespace orvo::test {

class HlsServer {
public:
    // port 0 picks a free one; an empty caDir makes a fresh CA.
    explicit HlsServer(int port = 0, const std::filesystem::path& caDir = {});
    ~HlsServer();
    HlsServer(const HlsServer&) = delete;
    HlsServer& operator=(const HlsServer&) = delete;

    const std::filesystem::path& caFile() const { return caFile_; }
    std::string url(const std::string& channelId) const
    {
        return "https://127.0.0.1:" + std::to_string(port_) + "/liveradio/" + channelId + "/playlist.m3u8";
    }

    // As README.md lists them; "*" is every channel. A refusal throws.
    void setFault(const std::string& mode, const std::string& channel = "*")
    {
        command("fault " + mode + " " + channel);
    }
    void configure(const std::string& name, const std::string& value, const std::string& channel = "*")
    {
        command("config " + channel + " " + name + "=" + value);
    }
    int count(const std::string& key) { return std::stoi(command("count " + key)); }
    int toneFrequency(const std::string& channelId) { return std::stoi(command("tone " + channelId)); }

private:
    std::string command(const std::string& line);

    TempDir work_;
    platform::glib::GRef<GSubprocess> process_;
    platform::glib::GRef<GDataInputStream> replies_;
    int port_ = 0;
    std::filesystem::path caFile_;
};

} // namespace orvo::test
