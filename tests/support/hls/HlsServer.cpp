// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/hls/HlsServer.h"

#include <gio/gio.h>

#include <cstdint>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace orvo::test {

namespace {
struct Unref {
    void operator()(gpointer p) const
    {
        if (p)
            g_object_unref(p);
    }
};
} // namespace

HlsServer::HlsServer()
    : HlsServer(Options {})
{
}

HlsServer::HlsServer(const Options& options)
{
    const auto caDir = options.caDir.empty() ? work_.path() / "ca" : options.caDir;
    std::ostringstream duration;
    duration << options.segmentSeconds;
    process_ = ChildProcess(
        { "/usr/bin/python3", ORVO_HLS_SERVER_SCRIPT, "--ca-dir", caDir.string(), "--work-dir",
            (work_.path() / "work").string(), "--segment-duration", duration.str(), "--window",
            std::to_string(options.window), "--fault", options.fault, "--port", std::to_string(options.port) },
        true);
    // Making keys takes a moment on a busy machine.
    const std::string line = process_.readLine(std::chrono::seconds(60));
    std::istringstream in(line);
    std::string ready;
    std::string ca;
    in >> ready >> port_ >> controlPort_ >> ca;
    if (ready != "READY" || port_ <= 0 || controlPort_ <= 0) {
        throw std::runtime_error("HLS server did not start: " + line);
    }
    caFile_ = ca;
}

std::string HlsServer::url(const std::string& channelId) const
{
    return "https://127.0.0.1:" + std::to_string(port_) + "/liveradio/" + channelId + "/playlist.m3u8";
}

std::string HlsServer::control(const std::string& pathAndQuery)
{
    std::unique_ptr<GSocketClient, Unref> client(g_socket_client_new());
    // A direct connection: the proxy resolver would reach for the session bus,
    // whose end (at test teardown) GLib answers by ending the process.
    g_socket_client_set_enable_proxy(client.get(), FALSE);
    std::unique_ptr<GSocketConnection, Unref> connection(g_socket_client_connect_to_host(
        client.get(), "127.0.0.1", static_cast<guint16>(controlPort_), nullptr, nullptr));
    if (!connection) {
        throw std::runtime_error("HLS server control port not reachable");
    }
    const std::string request = "GET " + pathAndQuery + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    GOutputStream* output = g_io_stream_get_output_stream(G_IO_STREAM(connection.get()));
    g_output_stream_write_all(output, request.data(), request.size(), nullptr, nullptr, nullptr);
    GInputStream* input = g_io_stream_get_input_stream(G_IO_STREAM(connection.get()));
    std::string reply;
    char buffer[4096];
    for (;;) {
        const gssize n = g_input_stream_read(input, buffer, sizeof buffer, nullptr, nullptr);
        if (n <= 0) {
            break;
        }
        reply.append(buffer, static_cast<std::size_t>(n));
    }
    const auto body = reply.find("\r\n\r\n");
    if (reply.compare(0, 12, "HTTP/1.0 200") != 0 || body == std::string::npos) {
        throw std::runtime_error("HLS server control request failed: " + pathAndQuery);
    }
    return reply.substr(body + 4);
}

void HlsServer::setFault(const std::string& mode, const std::string& channel)
{
    control("/fault?mode=" + mode + "&channel=" + (channel == "*" ? "%2A" : channel));
}

void HlsServer::configure(const std::string& name, const std::string& value, const std::string& channel)
{
    const auto escape = [](const std::string& text) {
        std::unique_ptr<char, decltype(&g_free)> escaped(g_uri_escape_string(text.c_str(), nullptr, FALSE), &g_free);
        return std::string(escaped.get());
    };
    control("/config?channel=" + escape(channel) + "&" + escape(name) + "=" + escape(value));
}

std::map<std::string, int> HlsServer::stats()
{
    const std::string json = control("/stats");
    std::map<std::string, int> result;
    static const std::regex entry("\"([^\"]+)\":\\s*(\\d+)");
    for (auto it = std::sregex_iterator(json.begin(), json.end(), entry); it != std::sregex_iterator(); ++it) {
        result[(*it)[1]] = std::stoi((*it)[2]);
    }
    return result;
}

int HlsServer::count(const std::string& key)
{
    const auto all = stats();
    const auto it = all.find(key);
    return it == all.end() ? 0 : it->second;
}

int HlsServer::toneFrequency(const std::string& channelId)
{
    // CRC-32 as zlib computes it, so the server and the tests agree.
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : channelId) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    crc ^= 0xFFFFFFFFu;
    return 330 + static_cast<int>(crc % 48) * 20;
}

} // namespace orvo::test
