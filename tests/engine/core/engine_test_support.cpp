#include "tests/engine/core/engine_test_support.h"

#include <sstream>
#include <stdexcept>

namespace tovix::testing {
namespace {

void parse_dotted(const std::string& text, std::uint8_t (&out)[4]) {
  std::istringstream in(text);
  for (int i = 0; i < 4; ++i) {
    int part = 0;
    char dot = 0;
    in >> part;
    if (i < 3) in >> dot;
    out[i] = static_cast<std::uint8_t>(part);
  }
}

std::string dotted(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  return std::to_string(bytes[at]) + "." + std::to_string(bytes[at + 1]) + "." + std::to_string(bytes[at + 2]) + "." +
         std::to_string(bytes[at + 3]);
}

TcpFields addressed(const std::string& src, int src_port, const std::string& dst, int dst_port, std::uint8_t flags) {
  TcpFields fields;
  parse_dotted(src, fields.src);
  parse_dotted(dst, fields.dst);
  fields.src_port = static_cast<std::uint16_t>(src_port);
  fields.dst_port = static_cast<std::uint16_t>(dst_port);
  fields.flags = flags;
  return fields;
}

}  // namespace

Packet tcp_packet(const std::string& src, int src_port, const std::string& dst, int dst_port, std::uint8_t flags,
                  const std::string& payload, std::uint32_t pid) {
  TcpFields fields = addressed(src, src_port, dst, dst_port, flags);
  fields.payload.assign(payload.begin(), payload.end());
  CaptureInfo info;
  info.outbound = true;
  if (pid != 0) info.process_id = pid;
  return Packet(build_ipv4_tcp(fields), info);
}

Packet tcp_packet_numbered(const std::string& src, int src_port, const std::string& dst, int dst_port,
                           std::uint8_t flags, std::uint32_t seq, std::uint32_t ack) {
  TcpFields fields = addressed(src, src_port, dst, dst_port, flags);
  fields.seq = seq;
  fields.ack = ack;
  return Packet(build_ipv4_tcp(fields));
}

Wire wire_of(const Packet& packet) {
  const std::vector<std::uint8_t> bytes(packet.bytes().begin(), packet.bytes().end());
  Wire wire;
  if (bytes.size() < 40) return wire;
  const std::size_t ihl = static_cast<std::size_t>(bytes[0] & 0x0F) * 4;
  wire.src = dotted(bytes, IP_SRC);
  wire.dst = dotted(bytes, IP_DST);
  wire.src_port = read16(bytes, ihl);
  wire.dst_port = read16(bytes, ihl + 2);
  wire.flags = bytes[ihl + 13];
  wire.seq = (std::uint32_t{read16(bytes, ihl + 4)} << 16) | read16(bytes, ihl + 6);
  wire.ack = (std::uint32_t{read16(bytes, ihl + 8)} << 16) | read16(bytes, ihl + 10);
  wire.outbound = packet.info().outbound;
  const std::size_t data_offset = static_cast<std::size_t>(bytes[ihl + 12] >> 4) * 4;
  const std::size_t total = read16(bytes, 2);
  if (ihl + data_offset < total)
    wire.payload.assign(bytes.begin() + static_cast<long>(ihl + data_offset), bytes.begin() + static_cast<long>(total));
  wire.checksums_right = read16(bytes, IP_CHECKSUM) == expected_ip_checksum(bytes) &&
                         read16(bytes, ihl + 16) == expected_tcp_checksum(bytes);
  return wire;
}

DiverterFactory DiverterSource::factory() {
  return [this]() -> std::unique_ptr<PacketDiverter> {
    auto fake = std::make_shared<FakeDiverter>();
    if (prepare) prepare(*fake);
    {
      std::lock_guard guard(_lock);
      _made.push_back(fake);
    }
    _changed.notify_all();
    return std::make_unique<SharedDiverter>(fake);
  };
}

std::size_t DiverterSource::made() const {
  std::lock_guard guard(_lock);
  return _made.size();
}

std::shared_ptr<FakeDiverter> DiverterSource::wait_for(std::size_t index, std::chrono::milliseconds timeout) {
  std::unique_lock lock(_lock);
  if (!_changed.wait_for(lock, timeout, [&] { return _made.size() > index; })) return nullptr;
  return _made[index];
}

void TextRecorder::attach(TunnelEngine& engine) {
  engine.set_status_callback([this](const std::string& text) {
    {
      std::lock_guard guard(_lock);
      _statuses.push_back(text);
      _all.push_back("status: " + text);
    }
    _changed.notify_all();
  });
  engine.set_error_callback([this](const std::string& text) {
    {
      std::lock_guard guard(_lock);
      _errors.push_back(text);
      _all.push_back("error: " + text);
    }
    _changed.notify_all();
  });
}

std::vector<std::string> TextRecorder::statuses() const {
  std::lock_guard guard(_lock);
  return _statuses;
}

std::vector<std::string> TextRecorder::errors() const {
  std::lock_guard guard(_lock);
  return _errors;
}

std::vector<std::string> TextRecorder::all() const {
  std::lock_guard guard(_lock);
  return _all;
}

std::size_t TextRecorder::count_status(const std::string& text) const {
  std::lock_guard guard(_lock);
  std::size_t count = 0;
  for (const auto& status : _statuses) count += status == text ? 1 : 0;
  return count;
}

bool TextRecorder::wait_for_status_count(const std::string& text, std::size_t count,
                                         std::chrono::milliseconds timeout) const {
  std::unique_lock lock(_lock);
  return _changed.wait_for(lock, timeout, [&] {
    std::size_t seen = 0;
    for (const auto& status : _statuses) seen += status == text ? 1 : 0;
    return seen >= count;
  });
}

bool TextRecorder::wait_for_status_prefix(const std::string& prefix, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(_lock);
  return _changed.wait_for(lock, timeout, [&] {
    for (const auto& status : _statuses)
      if (status.rfind(prefix, 0) == 0) return true;
    return false;
  });
}

}  // namespace tovix::testing
