// What the daemon relies on from the diag driver and the trace terminal.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The external modem is controlled through the primary diag device.
constexpr const char* ext_control_device = "/dev/diag";

// ioctl request that switches a diag device's logging mode, and its two modes.
constexpr int diag_ioctl_switch_logging = 7;
constexpr int diag_mode_memory_device = 2;  // the daemon reads the stream
constexpr int diag_mode_usb = 1;            // the stream goes back to USB

// Every request packet is written behind this 4-byte little-endian type word.
constexpr uint32_t diag_request_type = 32;
constexpr size_t diag_type_word_size = 4;

// Each read of a device (stream chunk or response) asks for this much.
constexpr size_t diag_read_size = 32768;

// Packets and stream records end with this byte.
constexpr unsigned char diag_packet_end = 0x7E;

// The raw mask written to the trace terminal goes in chunks of this size.
constexpr size_t trace_write_chunk = 1024;
