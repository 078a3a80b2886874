#pragma once
// TLS ClientHellos built field by field, so that each length can be made to lie.
#include <initializer_list>
#include <string>

namespace tovix::testing {

inline std::string be16(std::size_t value) {
  return {static_cast<char>(value >> 8 & 0xff), static_cast<char>(value & 0xff)};
}

inline std::string be24(std::size_t value) { return static_cast<char>(value >> 16 & 0xff) + be16(value); }

inline std::string extension(unsigned type, const std::string& data) { return be16(type) + be16(data.size()) + data; }

inline std::string server_name_extension(const std::string& host) {
  const std::string entry = std::string(1, '\0') + be16(host.size()) + host;
  return extension(0, be16(entry.size()) + entry);
}

// The extension block: its length and the extensions.
inline std::string block(std::initializer_list<std::string> extensions) {
  std::string all;
  for (const std::string& one : extensions) all += one;
  return be16(all.size()) + all;
}

// Version, random, session id, cipher suites, compression methods, then `extension_block` as
// given (empty for a hello without extensions).
inline std::string hello_body(const std::string& extension_block, const std::string& session_id = "",
                              const std::string& cipher_suites = "\x13\x01",
                              const std::string& compression = std::string(1, '\0')) {
  return "\x03\x03" + std::string(32, 'r') + static_cast<char>(session_id.size()) + session_id +
         be16(cipher_suites.size()) + cipher_suites + static_cast<char>(compression.size()) + compression +
         extension_block;
}

inline std::string handshake(const std::string& body) { return "\x01" + be24(body.size()) + body; }

// The handshake message cut into handshake records of at most `fragment` bytes.
inline std::string in_records(const std::string& message, std::size_t fragment = 16384) {
  std::string records;
  for (std::size_t at = 0; at < message.size(); at += fragment) {
    const std::string piece = message.substr(at, fragment);
    records += "\x16\x03\x01" + be16(piece.size()) + piece;
  }
  return records;
}

inline std::string client_hello(std::initializer_list<std::string> extensions) {
  return in_records(handshake(hello_body(block(extensions))));
}

// The handshake message of a hello that came in one record.
inline std::string handshake_of(const std::string& one_record) { return one_record.substr(5); }

}  // namespace tovix::testing
