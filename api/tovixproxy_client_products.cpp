// Product listings and the whitelist of short-term products.
#include <functional>
#include <initializer_list>
#include <utility>

#include "api/tovixproxy_client.h"
#include "api/tovixproxy_client_values.h"
#include "common/json_values.h"

namespace tovix {
namespace {

using detail::client_log;
using detail::field;
using detail::is_status_200;
using detail::text_field;

const char* const NOT_SIGNED_IN = "未登录，请先登录";

using ItemMapper = std::function<Json(const Json&)>;

Json list_failure(const std::string& message) {
  return {{"success", false}, {"products", Json::array()}, {"count", 0}, {"message", message}};
}

using KeyDefaults = std::initializer_list<std::pair<const char*, Json>>;

// The item's values under `keys`, in that order; a missing (or null) value gives its default.
Json copy_keys(const Json& item, KeyDefaults keys) {
  Json record = Json::object();
  for (const auto& [key, fallback] : keys) {
    const Json& value = field(item, key);
    record[key] = value.is_null() ? fallback : value;
  }
  return record;
}

Json host_record(const Json& item, const std::string& asked_status) {
  Json record = copy_keys(item, {{"id", ""},
                                 {"product_name", ""},
                                 {"name", ""},
                                 {"status", asked_status},
                                 {"due_time", 0},
                                 {"active_time", 0},
                                 {"ip", ""},
                                 {"module", ""},
                                 {"product_id", 0}});
  // A dedicated address that is there counts even when empty.
  const Json& dedicated = field(item, "dedicate_ip");
  const Json& assigned = field(item, "assign_ip");
  record["ip"] = !dedicated.is_null() ? dedicated : !assigned.is_null() ? assigned : Json("");
  return record;
}

Json long_term_record(const Json& item) {
  return copy_keys(item, {{"id", ""},
                          {"product_name", ""},
                          {"name", ""},
                          {"user_name", ""},
                          {"password", ""},
                          {"ip_first", ""},
                          {"ip_all", Json::array()},
                          {"due_time", 0},
                          {"status", ""},
                          {"product_type", ""}});
}

Json short_term_record(const Json& item) {
  Json record = copy_keys(item, {{"id", ""},
                                 {"product_name", ""},
                                 {"name", ""},
                                 {"pur_auth_user", ""},
                                 {"pur_auth_passwd", ""},
                                 {"api_key", ""},
                                 {"api_url", ""},
                                 {"pack_mark", ""},
                                 {"ip_count_surplus", ""},
                                 {"due_time", 0},
                                 {"status", ""},
                                 {"life_cycle_name", ""}});
  if (!is_truthy(record["pack_mark"])) record["pack_mark"] = record["pur_auth_user"];
  return record;
}

// The failure record of a refused answer, or null when the console accepted.
Json refusal(const Json& answer) {
  if (is_status_200(field(answer, "status"))) return nullptr;
  return list_failure(detail::text_field(answer, "msg").value_or("请求失败"));
}

// The success record of a listing's "data": its items mapped, in the console's order.
Json listing(const Json& data, const ItemMapper& map_item) {
  Json products = Json::array();
  const Json& items = field(data, "list");
  if (items.is_array()) {
    for (const Json& item : items) products.push_back(map_item(item));
  }
  const Json& total = field(data, "count");
  const Json count = total.is_number() ? total : Json(products.size());
  return {{"success", true},
          {"products", std::move(products)},
          {"count", count},
          {"message", "共 " + text_of(count) + " 个产品"}};
}

}  // namespace

Json ToVixProxyClient::get_products(const std::string& status, std::int64_t page, std::int64_t limit,
                                    const std::optional<std::string>& keywords) {
  if (!_signed_in()) return list_failure(NOT_SIGNED_IN);
  Json params = {{"status", status}, {"page", page}, {"limit", limit}};
  if (keywords && !keywords->empty()) params["keywords"] = *keywords;
  try {
    const Json answer = _request("GET", "/console/v1/host", std::nullopt, params);
    if (!answer.is_object()) {
      client_log().error("获取产品列表: API 返回非 dict 类型 {}", answer.type_name());
      return list_failure(std::string("服务器返回异常数据格式 (") + answer.type_name() + ")");
    }
    if (Json refused = refusal(answer); !refused.is_null()) return refused;
    const Json& data = field(answer, "data");
    if (!data.is_null() && !data.is_object()) {
      client_log().error("获取产品列表: data 非 dict 类型 {}", data.type_name());
      return list_failure(std::string("服务器返回异常 data 格式 (") + data.type_name() + ")");
    }
    Json result = listing(data, [&](const Json& item) { return host_record(item, status); });
    client_log().info("获取到 {} 个产品", result["products"].size());
    return result;
  } catch (const RequestError& error) {
    client_log().error("获取产品列表异常: {}", error.what());
    return list_failure(error.what());
  }
}

Json ToVixProxyClient::get_products_by_module(const std::string& module, const std::string& status,
                                              [[maybe_unused]] std::int64_t page, [[maybe_unused]] std::int64_t limit,
                                              const std::optional<std::string>& keywords) {
  // The console filters by module only in its web pages; one large page is fetched and filtered here.
  Json fetched = get_products(status, 1, 200, keywords);
  if (!is_truthy(field(fetched, "success"))) return fetched;
  Json kept = Json::array();
  for (const Json& product : fetched["products"]) {
    if (field(product, "module") == module) kept.push_back(product);
  }
  client_log().info("模块 {}: 过滤后 {} 个产品（共 {} 个）", module, kept.size(), fetched["products"].size());
  const std::size_t count = kept.size();
  return {{"success", true},
          {"products", std::move(kept)},
          {"count", count},
          {"message", "共 " + std::to_string(count) + " 个产品"}};
}

Json ToVixProxyClient::_fetch_family(const std::string& path, const Json& params, const char* failure_log,
                                     const std::function<Json(const Json&)>& map_item) {
  if (!_signed_in()) return list_failure(NOT_SIGNED_IN);
  try {
    const Json answer = _request("GET", path, std::nullopt, params);
    if (Json refused = refusal(answer); !refused.is_null()) return refused;
    return listing(detail::object_field(answer, "data"), map_item);
  } catch (const RequestError& error) {
    client_log().error("{}{}", failure_log, error.what());
    return list_failure(error.what());
  }
}

Json ToVixProxyClient::get_long_term_products(std::int64_t page, std::int64_t limit, const std::string& status) {
  const Json params = {{"page", page},   {"limit", limit},  {"orderby", "id"},  {"sort", "desc"},
                       {"keywords", ""}, {"search_ip", ""}, {"status", status}, {"tab", ""}};
  return _fetch_family("/console/v1/tv_proxy_domestic/host", params, "获取长效代理列表异常: ", long_term_record);
}

Json ToVixProxyClient::get_short_term_products(std::int64_t page, std::int64_t limit, const std::string& status) {
  const Json params = {{"page", page},   {"limit", limit},   {"orderby", "id"}, {"sort", "desc"},
                       {"keywords", ""}, {"status", status}, {"tab", ""}};
  return _fetch_family("/console/v1/tv_proxy_ip/host", params, "获取短效代理列表异常: ", short_term_record);
}

std::string ToVixProxyClient::_whitelist_path(const Json& host_id) {
  // The id comes from the console; encoded so that a "/" or "?" in it cannot reach another address.
  return "/console/v1/tv_proxy_ip/host/" + detail::path_encode(text_of(host_id)) + "/ip_white";
}

Json ToVixProxyClient::get_short_term_whitelist(const Json& host_id) {
  if (!_signed_in()) return {{"success", false}, {"data", Json::object()}, {"message", NOT_SIGNED_IN}};
  try {
    const Json answer = _request("GET", _whitelist_path(host_id), std::nullopt, Json{{"id", host_id}});
    return {{"success", is_status_200(field(answer, "status"))},
            {"data", detail::object_field(answer, "data")},
            {"host_id", host_id},
            {"message", text_field(answer, "msg").value_or("")}};
  } catch (const RequestError& error) {
    client_log().error("获取短效白名单异常: {}", error.what());
    return {{"success", false}, {"data", Json::object()}, {"host_id", host_id}, {"message", error.what()}};
  }
}

Json ToVixProxyClient::set_short_term_whitelist(const Json& host_id, const std::string& ip_white) {
  if (!_signed_in()) return {{"success", false}, {"message", NOT_SIGNED_IN}};
  const Json body = {{"ip_white", ip_white},      {"api_status", false},       {"api_status_pwd", false},
                     {"api_status_white", false}, {"api_status_white_ip", ""}, {"id", host_id}};
  try {
    const Json answer = _request("POST", _whitelist_path(host_id), body);
    return {{"success", is_status_200(field(answer, "status"))}, {"message", text_field(answer, "msg").value_or("")}};
  } catch (const RequestError& error) {
    client_log().error("设置短效白名单异常: {}", error.what());
    return {{"success", false}, {"message", error.what()}};
  }
}

}  // namespace tovix
