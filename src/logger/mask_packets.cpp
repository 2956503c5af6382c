#include "logger/mask_packets.h"

#include <string.h>

#include "logger/diag_device.h"

namespace {

void put_type_word(unsigned char* packet) {
    packet[0] = static_cast<unsigned char>(diag_request_type & 0xFF);
    packet[1] = static_cast<unsigned char>((diag_request_type >> 8) & 0xFF);
    packet[2] = static_cast<unsigned char>((diag_request_type >> 16) & 0xFF);
    packet[3] = static_cast<unsigned char>((diag_request_type >> 24) & 0xFF);
}

void clear_packet(MaskSplitter* splitter) {
    memset(splitter->packet, 0, sizeof splitter->packet);
    splitter->fill = 0;
    splitter->overlong = false;
    splitter->finished = false;
}

}  // namespace

void mask_splitter_init(MaskSplitter* splitter) { clear_packet(splitter); }

MaskPacketResult next_mask_packet(MaskSplitter* splitter, const unsigned char* data, size_t size, size_t* used) {
    if (splitter->finished) clear_packet(splitter);
    size_t at = 0;
    while (at < size) {
        const unsigned char byte = data[at++];
        if (splitter->fill == 0) {
            put_type_word(splitter->packet);
            splitter->fill = diag_type_word_size;
            // A flag that opens a packet is not part of it.
            if (byte == diag_packet_end) continue;
        }
        if (splitter->fill < sizeof splitter->packet) {
            splitter->packet[splitter->fill++] = byte;
        } else {
            splitter->overlong = true;
        }
        if (byte != diag_packet_end) continue;
        *used = at;
        if (splitter->overlong) {
            // Cut, it would be another request than the mask asks for.
            clear_packet(splitter);
            return mask_packet_dropped;
        }
        splitter->finished = true;
        return mask_packet_ready;
    }
    *used = at;
    return mask_packet_more;
}
