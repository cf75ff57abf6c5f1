// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/hls/HlsServer.h"

#include <gio/gio.h>

#include <sstream>
#include <stdexcept>

namespace orvo::test {

using namespace platform::glib;

HlsServer::HlsServer(int port, const std::filesystem::path& caDir)
{
    const std::string portText = std::to_string(port);
    const std::string ca = caDir.empty() ? work_.path() / "ca" : caDir;
    const std::string work = work_.path() / "work";
    const char* argv[] = { "/usr/bin/python3", ORVO_HLS_SERVER_SCRIPT, "--port", portText.c_str(), "--ca-dir",
        ca.c_str(), "--work-dir", work.c_str(), nullptr };
    process_ = adopt(g_subprocess_newv(
        argv, GSubprocessFlags(G_SUBPROCESS_FLAGS_STDIN_PIPE | G_SUBPROCESS_FLAGS_STDOUT_PIPE), nullptr));
    if (!process_) {
        throw std::runtime_error("the radio did not start");
    }
    replies_ = adopt(g_data_input_stream_new(g_subprocess_get_stdout_pipe(process_.get())));
    // READY <https port> 0 <CA file> <plain-http port>
    std::istringstream ready(command({}));
    std::string word;
    ready >> word >> port_ >> word >> word;
    caFile_ = word;
}

HlsServer::~HlsServer()
{
    // Its stdin closing ends the radio.
    g_output_stream_close(g_subprocess_get_stdin_pipe(process_.get()), nullptr, nullptr);
    g_subprocess_wait(process_.get(), nullptr, nullptr);
}

std::string HlsServer::command(const std::string& line)
{
    const std::string text = line.empty() ? "" : line + "\n";
    g_output_stream_write_all(
        g_subprocess_get_stdin_pipe(process_.get()), text.data(), text.size(), nullptr, nullptr, nullptr);
    GUnique<char> reply(g_data_input_stream_read_line(replies_.get(), nullptr, nullptr, nullptr));
    if (!reply || std::string_view(reply.get()).starts_with("error")) {
        throw std::runtime_error("the radio refused: " + line);
    }
    return reply.get();
}

} // namespace orvo::test
