#pragma once
// Text helpers of the engine: values rendered the way its log and status lines show them
// (sets as {'a', 'b'}, lists as [1, 2]), and the host part of a URL.
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace tovix::engine_text {

// {'a', 'b'}; set() when empty.
std::string render_text_set(const std::set<std::string>& values);
// {1, 2}; set() when empty.
std::string render_number_set(const std::set<std::uint32_t>& values);
// [1, 2]
std::string render_number_list(const std::vector<int>& values);
// ['a', 'b']
std::string render_text_list(const std::vector<std::string>& values);
// A JSON value as Python prints it: texts unquoted at the top level, quoted inside containers.
std::string render_value(const nlohmann::ordered_json& value, bool top_level = true);
// A scalar setting as a log line shows it: text as is, numbers as numbers, absent as "".
std::string scalar_text(const nlohmann::ordered_json& record, const char* key);

// The host name of an URL ("http://user@Host:8080/x" → "host"); empty without "scheme://".
std::string url_host(const std::string& url);

}  // namespace tovix::engine_text
