// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Starts the local live HLS server (hls_server.py) for one test, benchmark
// or demo run and switches its faults. The server process is stopped when
// this object goes away.

#include "tests/support/TestSupport.h"

#include <filesystem>
#include <map>
#include <string>

namespace orvo::test {

class HlsServer {
public:
    struct Options {
        // HTTPS port; 0 picks a free one (a build with a fixed stream host
        // needs its port).
        int port = 0;
        // Folder of the test CA; made by the server when missing. Empty: a
        // fresh CA in the server's scratch folder.
        std::filesystem::path caDir {};
        double segmentSeconds = 1.0;
        int window = 6;
        std::string fault = "none";
    };

    HlsServer();
    explicit HlsServer(const Options& options);

    int port() const { return port_; }
    const std::filesystem::path& caFile() const { return caFile_; }
    // https://127.0.0.1:<port>/liveradio/<id>/playlist.m3u8
    std::string url(const std::string& channelId) const;

    // mode: none, refuse, drop, stall, garbage, 404, 500, 403, wrongcert,
    // redirect, redirect-https, segment-redirect, segment-redirect-https,
    // slow. channel "*" means every channel.
    void setFault(const std::string& mode, const std::string& channel = "*");
    // What a channel serves from its next request on (README.md): format
    // ts|fmp4|aac|mp3, master 0|1, key none|aes|aes-seq, discontinuity N.
    // An unknown name or value throws.
    void configure(const std::string& name, const std::string& value, const std::string& channel = "*");
    // Requests served, by "<id>:playlist", "<id>:media" (variant playlists),
    // "<id>:hi", "<id>:lo", "<id>:video", "<id>:segment", "<id>:init",
    // "<id>:key", "<id>:moved" (under /moved/ after a redirect) and
    // "<id>:plain" (plain HTTP after a redirect).
    std::map<std::string, int> stats();
    int count(const std::string& key);

    // The tone a channel plays, in hertz.
    static int toneFrequency(const std::string& channelId);

private:
    std::string control(const std::string& pathAndQuery);

    TempDir work_;
    ChildProcess process_;
    int port_ = 0;
    int controlPort_ = 0;
    std::filesystem::path caFile_;
};

} // namespace orvo::test
