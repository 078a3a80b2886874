#pragma once
// ClientHellos captured from real clients (see captured_hellos.cpp).
#include <string>

namespace tovix::testing {

extern const std::string OPENSSL_HELLO;           // server name www.example.org
extern const std::string CURL_HELLO;              // server name sni.example.test
extern const std::string CURL_TLS12_HELLO;        // server name tls12.example.test
extern const std::string OPENSSL_NAMELESS_HELLO;  // no server name

}  // namespace tovix::testing
