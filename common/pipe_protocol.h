// The two named pipes between pairgated and the web UI (pairgate-pair), and
// their messages: what both ends must agree on.
//
// Request pipe, web UI to daemon: exactly 17 bytes, a device address in colon
// form such as 00:1A:7D:DA:71:13, no terminator. Created by the daemon.
// Reply pipe, daemon to web UI: messages of exactly six bytes: the passkey as
// six decimal digits, six 0x01 bytes (paired) or six 0x00 bytes (failed).
// Created by the web UI side; the daemon writes only while a reader has it open.
#pragma once

#include <cstddef>

inline constexpr const char *request_pipe_path = "/var/tmp/duskpair.fifo";
inline constexpr const char *reply_pipe_path = "/var/tmp/duskweb.fifo";

inline constexpr std::size_t request_size = 17;
inline constexpr std::size_t reply_size = 6;

inline constexpr unsigned char reply_paired_byte = 0x01;
inline constexpr unsigned char reply_failed_byte = 0x00;
