# SPDX-License-Identifier: GPL-3.0-or-later
# cmake -P: the build takes every stream host of the form host[:port] and
# refuses everything else.
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/StreamHost.cmake)
set(taken stream.orvo.invalid 127.0.0.1:47443 localhost radio-1.example.org:443 "[::1]:8443" "[2001:db8::1]")
set(refused "" https://stream.example.org stream.example.org/live stream.example.org:443/live "host:" host:0
    host:65536 256.1.1.1 1.2.3 -host.example host-.example host..example "[::1" "a b" user@host "host?x")
foreach(host IN LISTS taken)
  orvo_stream_host_problem("${host}" problem)
  if(problem)
    message(SEND_ERROR "refused: ${problem}")
  endif()
endforeach()
foreach(host IN LISTS refused)
  orvo_stream_host_problem("${host}" problem)
  if(NOT problem)
    message(SEND_ERROR "taken: '${host}'")
  endif()
endforeach()
