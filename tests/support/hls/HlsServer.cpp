// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/hls/HlsServer.h"

#include <gio/gio.h>

#include <sstream>
#include <stdexcept>

namespace orvo::test {

using namespace platform::glib;

HlsServer::HlsServer(const Options& options)
{
    const auto caDir = options.caDir.empty() ? work_.path() / "ca" : options.caDir;
    const std::string port = std::to_string(options.port);
    const std::string work = (work_.path() / "work").string();
    const std::string duration = std::to_string(options.segmentSeconds);
    const std::string window = std::to_string(options.window);
    const char* argv[]
        = { "/usr/bin/python3", ORVO_HLS_SERVER_SCRIPT, "--port", port.c_str(), "--ca-dir", caDir.c_str(), "--work-dir",
              work.c_str(), "--segment-duration", duration.c_str(), "--window", window.c_str(), nullptr };
    GUnique<GError> error;
    process_ = adopt(g_subprocess_newv(
        argv, GSubprocessFlags(G_SUBPROCESS_FLAGS_STDIN_PIPE | G_SUBPROCESS_FLAGS_STDOUT_PIPE), out(error)));
    if (!process_) {
        throw std::runtime_error(std::string("HLS server did not start: ") + error->message);
    }
    replies_ = adopt(g_data_input_stream_new(g_subprocess_get_stdout_pipe(process_.get())));
    // READY <https port> <unused> <CA file> <plain-http port>
    std::istringstream ready(command({}));
    std::string word;
    std::string ca;
    ready >> word >> port_ >> ca >> ca;
    if (word != "READY" || port_ <= 0) {
        throw std::runtime_error("HLS server did not start");
    }
    caFile_ = ca;
}

HlsServer::~HlsServer()
{
    // Its stdin closing ends the server.
    g_output_stream_close(g_subprocess_get_stdin_pipe(process_.get()), nullptr, nullptr);
    g_subprocess_wait(process_.get(), nullptr, nullptr);
}

std::string HlsServer::url(const std::string& channelId) const
{
    return "https://127.0.0.1:" + std::to_string(port_) + "/liveradio/" + channelId + "/playlist.m3u8";
}

std::string HlsServer::command(const std::string& line)
{
    if (!line.empty()) {
        const std::string text = line + "\n";
        g_output_stream_write_all(
            g_subprocess_get_stdin_pipe(process_.get()), text.data(), text.size(), nullptr, nullptr, nullptr);
    }
    GUnique<char> reply(g_data_input_stream_read_line(replies_.get(), nullptr, nullptr, nullptr));
    if (!reply || std::string(reply.get()).starts_with("error")) {
        throw std::runtime_error("HLS server refused: " + line);
    }
    return reply.get();
}

void HlsServer::setFault(const std::string& mode, const std::string& channel)
{
    command("fault " + mode + " " + channel);
}

void HlsServer::configure(const std::string& name, const std::string& value, const std::string& channel)
{
    command("config " + channel + " " + name + "=" + value);
}

int HlsServer::count(const std::string& key)
{
    return std::stoi(command("count " + key));
}

int HlsServer::toneFrequency(const std::string& channelId)
{
    return std::stoi(command("tone " + channelId));
}

} // namespace orvo::test
