// Splitting a mask file into diag request packets as its bytes arrive.
#pragma once

#include <stddef.h>

// One packet with its type word; at most 1020 bytes of a mask packet fit.
constexpr size_t mask_packet_size = 1024;

// The packet being gathered. Bytes may arrive in blocks of any size; a packet
// may span blocks.
struct MaskSplitter {
    // Type word, then the packet's bytes up to and including its 0x7E.
    unsigned char packet[mask_packet_size];
    // Bytes in packet, type word included; 0 while no packet is open.
    size_t fill;
    // The open packet has outgrown packet; it is dropped at its end.
    bool overlong;
    // packet holds a finished packet, until the next call takes more bytes.
    bool finished;
};

enum MaskPacketResult {
    mask_packet_more,     // every byte was taken and no packet has ended
    mask_packet_ready,    // packet holds fill bytes: a whole packet
    mask_packet_dropped,  // a packet too long for the buffer ended
};

void mask_splitter_init(MaskSplitter* splitter);

// Takes bytes from data up to the end of the next packet and sets *used to
// how many it took. A ready packet stays in splitter->packet until the next
// call. A 0x7E that opens a packet is not part of it; bytes after the last
// 0x7E never make a packet.
MaskPacketResult next_mask_packet(MaskSplitter* splitter, const unsigned char* data, size_t size, size_t* used);
