#include "dm/pcapng.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "dm/packet.h"
#include "msg/error_text.h"
#include "platform/fd_io.h"

namespace dm {

namespace {

constexpr size_t flush_at = 1 << 20;
constexpr size_t ipv4_header = 20, udp_header = 8, gsmtap_header = 16;
constexpr size_t max_gsmtap_payload = 65535 - ipv4_header - udp_header - gsmtap_header;
constexpr uint32_t block_section = 0x0A0D0D0A, block_interface = 1, block_packet = 6;
constexpr uint16_t linktype_ipv4 = 228, linktype_upper_pdu = 252;
constexpr uint32_t interface_gsmtap = 0, interface_upper_pdu = 1;
constexpr uint32_t snaplen = 262144;
constexpr uint16_t opt_end = 0, opt_comment = 1, opt_if_name = 2, opt_shb_userappl = 4;
constexpr uint16_t exported_proto_name = 12;

void put_be(uint64_t value, int bytes, std::string* out) {
    for (int i = bytes - 1; i >= 0; --i) out->push_back(static_cast<char>(value >> (8 * i)));
}

void pad4(std::string* out) { out->append((4 - out->size() % 4) % 4, '\0'); }

void put_option(uint16_t code, const std::string& value, std::string* out) {
    put_le(code, 2, out);
    put_le(value.size(), 2, out);
    *out += value;
    pad4(out);
}

// A block's body is padded to 32 bits and framed by its total length twice.
void put_block(uint32_t type, std::string body, std::string* out) {
    pad4(&body);
    const size_t total = 12 + body.size();
    put_le(type, 4, out);
    put_le(total, 4, out);
    *out += body;
    put_le(total, 4, out);
}

void put_interface(uint16_t linktype, const char* name, std::string* out) {
    std::string body;
    put_le(linktype, 2, &body);
    put_le(0, 2, &body);
    put_le(snaplen, 4, &body);
    put_option(opt_if_name, name, &body);
    put_le(opt_end, 4, &body);
    put_block(block_interface, body, out);
}

void flush(PcapngWriter* w) {
    size_t written = 0;
    const int error = write_all(w->fd, w->buffer.data(), w->buffer.size(), &written);
    if (error != 0 && w->error == 0) w->error = error;
    w->buffer.clear();
}

void put_packet(PcapngWriter* w, uint32_t interface, int64_t time_us, const std::string& data,
                const std::string& comment) {
    const uint64_t stamp = static_cast<uint64_t>(std::max<int64_t>(time_us, 0));
    std::string body;
    put_le(interface, 4, &body);
    put_le(stamp >> 32, 4, &body);
    put_le(stamp & 0xFFFFFFFFu, 4, &body);
    put_le(data.size(), 4, &body);
    put_le(data.size(), 4, &body);
    body += data;
    pad4(&body);
    if (!comment.empty()) {
        put_option(opt_comment, comment, &body);
        put_le(opt_end, 4, &body);
    }
    put_block(block_packet, std::move(body), &w->buffer);
    ++w->packets;
    if (w->buffer.size() >= flush_at) flush(w);
}

// IPv4 and UDP from and to the GSMTAP port on the loopback address, then
// the GSMTAP header, whose radio fields the caller fills in.
std::string gsmtap_packet(uint8_t type, uint8_t subtype, uint16_t arfcn_field, uint32_t frame_number, size_t size) {
    const size_t ip_length = ipv4_header + udp_header + gsmtap_header + size;
    std::string b = std::string("\x45\x00", 2);
    put_be(ip_length, 2, &b);
    b += std::string("\x00\x00\x40\x00\x40\x11\x00\x00\x7F\x00\x00\x01\x7F\x00\x00\x01", 16);
    uint32_t sum = 0;
    for (size_t i = 0; i < ipv4_header; i += 2)
        sum += static_cast<uint32_t>(static_cast<uint8_t>(b[i]) << 8 | static_cast<uint8_t>(b[i + 1]));
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    const uint16_t checksum = static_cast<uint16_t>(~sum);
    b[10] = static_cast<char>(checksum >> 8);
    b[11] = static_cast<char>(checksum & 0xFF);
    put_be(gsmtap_port, 2, &b);
    put_be(gsmtap_port, 2, &b);
    put_be(udp_header + gsmtap_header + size, 2, &b);
    put_be(0, 2, &b);  // no UDP checksum, which IPv4 allows
    b.push_back(2);    // version
    b.push_back(static_cast<char>(gsmtap_header / 4));
    b.push_back(static_cast<char>(type));
    b.push_back(0);  // time slot
    put_be(arfcn_field, 2, &b);
    b.append(2, '\0');  // signal, SNR
    put_be(frame_number, 4, &b);
    b.push_back(static_cast<char>(subtype));
    b.append(3, '\0');  // antenna, sub-slot, reserved
    return b;
}

// Exported-PDU tags: the dissector's name (NUL padded to 32 bits), the end.
std::string upper_pdu_packet(const char* dissector) {
    std::string name = dissector != nullptr ? dissector : "data";
    name.append((4 - name.size() % 4) % 4, '\0');
    std::string b;
    put_be(exported_proto_name, 2, &b);
    put_be(name.size(), 2, &b);
    b += name;
    put_be(0, 4, &b);
    return b;
}

bool arfcn_fits(const SignallingPdu& pdu) { return !pdu.has_arfcn || pdu.arfcn <= 0x3FFF; }

std::string comment_of(const SignallingPdu& pdu) {
    std::string comment;
    if (pdu.has_subscription) comment = "subscription " + std::to_string(pdu.subscription);
    if (!arfcn_fits(pdu)) {
        if (!comment.empty()) comment += "; ";
        comment += "ARFCN " + std::to_string(pdu.arfcn);
    }
    return comment;
}

}  // namespace

bool pcapng_open(PcapngWriter* writer, const char* path, std::string* error) {
    *writer = PcapngWriter();
    writer->fd = open_retrying(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0644);
    if (writer->fd < 0) {
        *error = std::string(path) + ": cannot create: " + error_text(errno).text;
        return false;
    }
    std::string section;
    put_le(0x1A2B3C4D, 4, &section);  // byte-order magic
    put_le(1, 2, &section);
    put_le(0, 2, &section);
    put_le(~0ull, 8, &section);  // section length not given
    put_option(opt_shb_userappl, "orlith-dm", &section);
    put_le(opt_end, 4, &section);
    put_block(block_section, section, &writer->buffer);
    put_interface(linktype_ipv4, "gsmtap", &writer->buffer);
    put_interface(linktype_upper_pdu, "upper-pdu", &writer->buffer);
    return true;
}

void pcapng_add_signalling(PcapngWriter* writer, const SignallingPdu& pdu) {
    const int64_t time_us = unix_us_from_diag_time(pdu.timestamp);
    writer->last_time_us = time_us;
    std::string data;
    uint32_t interface = interface_upper_pdu;
    std::string message = pdu.bytes;
    if (pdu.gsmtap) {
        interface = interface_gsmtap;
        if (message.size() > max_gsmtap_payload) {
            message.resize(max_gsmtap_payload);
            ++writer->cut;
        }
        const uint16_t arfcn = static_cast<uint16_t>((arfcn_fits(pdu) ? pdu.arfcn : 0) | (pdu.uplink ? 0x4000 : 0));
        data = gsmtap_packet(pdu.type, pdu.subtype, arfcn, pdu.frame_number, message.size());
    } else {
        data = upper_pdu_packet(pdu.dissector);
    }
    data += message;
    put_packet(writer, interface, time_us, data, comment_of(pdu));
}

void pcapng_add_raw(PcapngWriter* writer, const uint8_t* payload, size_t size) {
    const uint8_t* inner = payload;
    size_t inner_size = size;
    skip_dual_sim(&inner, &inner_size);
    LogPacket packet;
    if (parse_log_packet(inner, inner_size, &packet)) writer->last_time_us = unix_us_from_diag_time(packet.timestamp);
    if (size > max_gsmtap_payload) {
        size = max_gsmtap_payload;  // an IPv4 packet holds no more
        ++writer->cut;
    }
    std::string data = gsmtap_packet(gsmtap_type_qc_diag, 0, 0, 0, size);
    data.append(reinterpret_cast<const char*>(payload), size);
    put_packet(writer, interface_gsmtap, writer->last_time_us, data, std::string());
}

bool pcapng_close(PcapngWriter* writer, const char* path, std::string* error) {
    flush(writer);
    if (close(writer->fd) != 0 && writer->error == 0) writer->error = errno;
    writer->fd = -1;
    if (writer->error != 0) {
        *error = std::string(path) + ": write failed: " + error_text(writer->error).text;
        return false;
    }
    return true;
}

}  // namespace dm
