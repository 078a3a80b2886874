#include "engine/sniff/tls_server_name.h"

#include <optional>
#include <string>
#include <vector>

#include "common/host_address.h"

namespace tovix {
namespace {

enum : unsigned {
  RECORD_HANDSHAKE = 22,
  RECORD_HEADER_BYTES = 5,
  MAX_RECORD_PAYLOAD = 16384,
  HANDSHAKE_CLIENT_HELLO = 1,
  HANDSHAKE_HEADER_BYTES = 4,
  RANDOM_BYTES = 32,
  MAX_SESSION_ID_BYTES = 32,
  EXTENSION_SERVER_NAME = 0x0000,
  EXTENSION_ENCRYPTED_CLIENT_HELLO = 0xfe0d,
  SERVER_NAME_HOST = 0,
};

unsigned byte_at(std::string_view bytes, std::size_t at) { return static_cast<unsigned char>(bytes[at]); }

// Reads big-endian fields from a span whose length is known; any read past its end fails.
class FieldReader {
 public:
  explicit FieldReader(std::string_view bytes) : _bytes(bytes) {}

  std::size_t left() const { return _bytes.size(); }
  bool number(std::size_t width, std::size_t& value) {
    if (_bytes.size() < width) return false;
    value = 0;
    for (std::size_t i = 0; i < width; ++i) value = value << 8 | byte_at(_bytes, i);
    _bytes.remove_prefix(width);
    return true;
  }
  bool bytes(std::size_t size, std::string_view& out) {
    if (_bytes.size() < size) return false;
    out = _bytes.substr(0, size);
    _bytes.remove_prefix(size);
    return true;
  }
  // A field preceded by its length in `width` bytes.
  bool vector(std::size_t width, std::string_view& out) {
    std::size_t size = 0;
    return number(width, size) && bytes(size, out);
  }

 private:
  std::string_view _bytes;
};

enum class Gathered { need_more, complete, invalid };

// The ClientHello message (header and body) out of the handshake records it is carried in.
Gathered gather_client_hello(std::string_view stream, std::string& message) {
  std::size_t wanted = 0;  // 0 until the message header has arrived
  std::size_t at = 0;
  for (;;) {
    if (stream.size() - at < RECORD_HEADER_BYTES) return Gathered::need_more;
    const std::size_t payload = byte_at(stream, at + 3) << 8 | byte_at(stream, at + 4);
    if (byte_at(stream, at) != RECORD_HANDSHAKE || byte_at(stream, at + 1) != 3 || payload == 0 ||
        payload > MAX_RECORD_PAYLOAD) {
      return Gathered::invalid;
    }
    const std::size_t arrived = std::min(payload, stream.size() - at - RECORD_HEADER_BYTES);
    message.append(stream.substr(at + RECORD_HEADER_BYTES, arrived));
    if (wanted == 0 && message.size() >= HANDSHAKE_HEADER_BYTES) {
      if (byte_at(message, 0) != HANDSHAKE_CLIENT_HELLO) return Gathered::invalid;
      const std::size_t body = byte_at(message, 1) << 16 | byte_at(message, 2) << 8 | byte_at(message, 3);
      if (body > MAX_CLIENT_HELLO_BYTES) return Gathered::invalid;
      wanted = HANDSHAKE_HEADER_BYTES + body;
    }
    if (wanted != 0 && message.size() >= wanted) {
      message.resize(wanted);
      return Gathered::complete;
    }
    if (arrived < payload) return Gathered::need_more;
    at += RECORD_HEADER_BYTES + payload;
  }
}

struct HelloNames {
  std::optional<std::string_view> server_name;
  bool encrypted_inner_hello = false;
};

// The host_name entry of a server_name extension; false when the extension is malformed.
bool read_server_name(std::string_view extension, std::optional<std::string_view>& name) {
  FieldReader reader(extension);
  std::string_view list;
  if (!reader.vector(2, list) || reader.left() != 0 || list.empty()) return false;
  FieldReader entries(list);
  while (entries.left() > 0) {
    std::size_t type = 0;
    std::string_view entry;
    if (!entries.number(1, type) || !entries.vector(2, entry) || entry.empty()) return false;
    if (type == SERVER_NAME_HOST && !name) name = entry;
  }
  return true;
}

// Walks the ClientHello body to its end, so that a hello whose lengths disagree counts as
// malformed however early its server name stands.
std::optional<HelloNames> read_hello_body(std::string_view body) {
  FieldReader reader(body);
  std::string_view skipped;
  std::size_t cipher_suites = 0;
  if (!reader.bytes(2 + RANDOM_BYTES, skipped)) return std::nullopt;
  if (!reader.vector(1, skipped) || skipped.size() > MAX_SESSION_ID_BYTES) return std::nullopt;
  if (!reader.number(2, cipher_suites) || cipher_suites < 2 || cipher_suites % 2 != 0 ||
      !reader.bytes(cipher_suites, skipped)) {
    return std::nullopt;
  }
  if (!reader.vector(1, skipped) || skipped.empty()) return std::nullopt;
  HelloNames names;
  if (reader.left() == 0) return names;  // a hello without extensions
  std::string_view extensions;
  if (!reader.vector(2, extensions) || reader.left() != 0) return std::nullopt;

  std::vector<bool> seen(0x10000, false);
  FieldReader list(extensions);
  while (list.left() > 0) {
    std::size_t type = 0;
    std::string_view data;
    if (!list.number(2, type) || !list.vector(2, data)) return std::nullopt;
    // The same extension twice is forbidden, and two server names would be ambiguous.
    if (seen[type]) return std::nullopt;
    seen[type] = true;
    if (type == EXTENSION_SERVER_NAME && !read_server_name(data, names.server_name)) return std::nullopt;
    if (type == EXTENSION_ENCRYPTED_CLIENT_HELLO) names.encrypted_inner_hello = true;
  }
  return names;
}

}  // namespace

SniffResult read_tls_server_name(std::string_view first_bytes) {
  std::string message;
  switch (gather_client_hello(first_bytes, message)) {
    case Gathered::need_more:
      return SniffResult::need_more();
    case Gathered::invalid:
      return SniffResult::no_name();
    case Gathered::complete:
      break;
  }
  const auto names = read_hello_body(std::string_view(message).substr(HANDSHAKE_HEADER_BYTES));
  if (!names || !names->server_name || names->encrypted_inner_hello) return SniffResult::no_name();
  auto host = normalize_host_name(*names->server_name);
  return host ? SniffResult::found(std::move(*host)) : SniffResult::no_name();
}

}  // namespace tovix
