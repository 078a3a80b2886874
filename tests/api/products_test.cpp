#include <gtest/gtest.h>

#include "common/logging.h"
#include "tests/api/client_fixture.h"
#include "tests/support/log_capture.h"

namespace tovix::testing {
namespace {

using nlohmann::ordered_json;

ordered_json listing(const ordered_json& items, const ordered_json& count = nullptr) {
  ordered_json data = {{"list", items}};
  if (!count.is_null()) data["count"] = count;
  return {{"status", 200}, {"msg", "ok"}, {"data", data}};
}

std::string keys_of(const ordered_json& record) {
  std::string keys;
  for (const auto& [key, value] : record.items()) keys += key + ",";
  return keys;
}

class ProductsTest : public ClientTest {};

TEST_F(ProductsTest, EveryOperationNeedsASignIn) {
  const std::string list_failure = R"({"success":false,"products":[],"count":0,"message":"未登录，请先登录"})";
  EXPECT_EQ(anonymous.get_products().dump(), list_failure);
  EXPECT_EQ(anonymous.get_products_by_module("tv_proxy_ip").dump(), list_failure);
  EXPECT_EQ(anonymous.get_long_term_products().dump(), list_failure);
  EXPECT_EQ(anonymous.get_short_term_products().dump(), list_failure);
  EXPECT_EQ(anonymous.get_short_term_whitelist(12).dump(),
            R"({"success":false,"data":{},"message":"未登录，请先登录"})");
  EXPECT_EQ(anonymous.set_short_term_whitelist(12, "1.2.3.4").dump(),
            R"({"success":false,"message":"未登录，请先登录"})");
  EXPECT_EQ(console.request_count(), 0u);
}

TEST_F(ProductsTest, ListingsSendTheirParametersInOrder) {
  for (const char* path : {"/console/v1/host", "/console/v1/tv_proxy_domestic/host", "/console/v1/tv_proxy_ip/host"}) {
    console.answer_json("GET", path, listing(ordered_json::array()));
  }
  member.get_products();
  EXPECT_EQ(console.last().query, "status=Active&page=1&limit=50");
  member.get_products("Suspended", 2, 10, "");
  EXPECT_EQ(console.last().query, "status=Suspended&page=2&limit=10") << "empty keywords are left out";
  member.get_products("Active", 1, 50, "香港 A");
  EXPECT_EQ(console.last().query, "status=Active&page=1&limit=50&keywords=%E9%A6%99%E6%B8%AF+A");

  member.get_long_term_products(1, 200);
  RecordedRequest request = console.last();
  EXPECT_EQ(request.path, "/console/v1/tv_proxy_domestic/host");
  EXPECT_EQ(request.query, "page=1&limit=200&orderby=id&sort=desc&keywords=&search_ip=&status=&tab=");
  EXPECT_EQ(request.header("Authorization"), std::string("Bearer ") + kToken);

  member.get_short_term_products(3, 20, "Active");
  request = console.last();
  EXPECT_EQ(request.path, "/console/v1/tv_proxy_ip/host");
  EXPECT_EQ(request.query, "page=3&limit=20&orderby=id&sort=desc&keywords=&status=Active&tab=");
}

TEST_F(ProductsTest, HostRecordsTakeDefaultsAndTheDedicatedAddressFirst) {
  LogCapture log(LOGGER_CLIENT);
  const ordered_json full = {{"id", 7},
                             {"product_name", "长效"},
                             {"name", "n"},
                             {"status", "Active"},
                             {"due_time", 1700000000},
                             {"active_time", 1600000000},
                             {"dedicate_ip", ""},
                             {"assign_ip", "1.1.1.1"},
                             {"module", "tv_proxy_ip"},
                             {"product_id", 3},
                             {"extra", 1}};
  console.answer_json("GET", "/console/v1/host",
                      listing({full, {{"assign_ip", "2.2.2.2"}, {"ip", "9.9.9.9"}}, "not an object"}, 37));
  const ordered_json result = member.get_products("Active");
  ASSERT_EQ(result["success"], true) << result.dump();
  EXPECT_EQ(result["count"], 37) << "the console's total, not the page size";
  EXPECT_EQ(result["message"], "共 37 个产品");
  EXPECT_EQ(
      result["products"][0].dump(),
      R"({"id":7,"product_name":"长效","name":"n","status":"Active","due_time":1700000000,"active_time":1600000000,"ip":"","module":"tv_proxy_ip","product_id":3})")
      << "a present but empty dedicate_ip wins";
  EXPECT_EQ(
      result["products"][1].dump(),
      R"({"id":"","product_name":"","name":"","status":"Active","due_time":0,"active_time":0,"ip":"2.2.2.2","module":"","product_id":0})");
  EXPECT_EQ(keys_of(result["products"][2]), keys_of(result["products"][1])) << "a stray item reads as empty";
  EXPECT_TRUE(log.contains(spdlog::level::info, "获取到 3 个产品"));

  console.answer_json("GET", "/console/v1/host", listing({{{"id", 1}}, {{"id", 2}}}));
  const ordered_json counted = member.get_products("Expired");
  EXPECT_EQ(counted["count"], 2) << "without a total the number of items counts";
  EXPECT_EQ(counted["products"][0]["status"], "Expired") << "the asked status is the default";
}

TEST_F(ProductsTest, HostListingOfWrongShapeFailsAndIsLogged) {
  LogCapture log(LOGGER_CLIENT);
  const std::string path = "/console/v1/host";
  console.answer_json("GET", path, ordered_json::array({1}));
  EXPECT_EQ(member.get_products().dump(),
            R"j({"success":false,"products":[],"count":0,"message":"服务器返回异常数据格式 (array)"})j");
  EXPECT_TRUE(log.contains(spdlog::level::err, "获取产品列表: API 返回非 dict 类型 array"));

  console.answer_json("GET", path, {{"status", 200}, {"data", "oops"}});
  EXPECT_EQ(member.get_products()["message"], "服务器返回异常 data 格式 (string)");
  EXPECT_TRUE(log.contains(spdlog::level::err, "获取产品列表: data 非 dict 类型 string"));

  console.answer_json("GET", path, {{"status", 500}});
  EXPECT_EQ(member.get_products().dump(), R"({"success":false,"products":[],"count":0,"message":"请求失败"})");
  console.answer_json("GET", path, {{"status", "200"}, {"msg", "状态须为数字"}});
  EXPECT_EQ(member.get_products()["message"], "状态须为数字");

  console.answer_json("GET", path, {{"msg", "维护"}}, 500);
  EXPECT_EQ(member.get_products()["message"], "服务器返回 500: 维护");
  EXPECT_TRUE(log.contains(spdlog::level::err, "获取产品列表异常: 服务器返回 500: 维护"));
}

TEST_F(ProductsTest, ModuleFilterFetchesOneLargeFirstPage) {
  LogCapture log(LOGGER_CLIENT);
  console.answer_json("GET", "/console/v1/host",
                      listing({{{"id", 1}, {"module", "tv_proxy_ip"}},
                               {{"id", 2}, {"module", "tv_proxy_domestic"}},
                               {{"id", 3}, {"module", "TV_PROXY_IP"}},
                               {{"id", 4}, {"module", "tv_proxy_ip"}}},
                              100));
  const ordered_json result = member.get_products_by_module("tv_proxy_ip", "Active", 3, 10);
  EXPECT_EQ(console.last().query, "status=Active&page=1&limit=200");
  EXPECT_EQ(result["products"].size(), 2u);
  EXPECT_EQ(result["products"][0]["id"], 1);
  EXPECT_EQ(result["products"][1]["id"], 4);
  EXPECT_EQ(result["count"], 2);
  EXPECT_EQ(result["message"], "共 2 个产品");
  EXPECT_TRUE(log.contains(spdlog::level::info, "模块 tv_proxy_ip: 过滤后 2 个产品（共 4 个）"));

  EXPECT_EQ(member.get_products_by_module("none").dump(),
            R"({"success":true,"products":[],"count":0,"message":"共 0 个产品"})");
  console.answer_json("GET", "/console/v1/host", {{"status", 403}, {"msg", "无权限"}});
  EXPECT_EQ(member.get_products_by_module("tv_proxy_ip")["message"], "无权限");
}

TEST_F(ProductsTest, LongTermRecordsKeepTheConsoleValues) {
  const ordered_json item = {{"id", 5},
                             {"product_name", "p"},
                             {"name", "n"},
                             {"user_name", "u"},
                             {"password", "pw"},
                             {"ip_first", "1.2.3.4"},
                             {"ip_all", {"1.2.3.4", "5.6.7.8"}},
                             {"due_time", "2025-01-01"},
                             {"status", "Active"},
                             {"product_type", "static"}};
  console.answer_json("GET", "/console/v1/tv_proxy_domestic/host", listing({item, ordered_json::object()}));
  const ordered_json result = member.get_long_term_products();
  EXPECT_EQ(result["products"][0], item);
  EXPECT_EQ(keys_of(result["products"][0]), keys_of(item));
  EXPECT_EQ(
      result["products"][1].dump(),
      R"({"id":"","product_name":"","name":"","user_name":"","password":"","ip_first":"","ip_all":[],"due_time":0,"status":"","product_type":""})");
  EXPECT_EQ(result["message"], "共 2 个产品");

  for (const ordered_json& odd : {ordered_json{{"status", 200}, {"data", ordered_json::array({1})}},
                                  ordered_json{{"status", 200}, {"data", {{"list", "x"}, {"count", "many"}}}}}) {
    console.answer_json("GET", "/console/v1/tv_proxy_domestic/host", odd);
    EXPECT_EQ(member.get_long_term_products().dump(),
              R"({"success":true,"products":[],"count":0,"message":"共 0 个产品"})")
        << odd.dump();
  }
}

TEST_F(ProductsTest, ShortTermPackMarkFallsBackToTheUser) {
  const ordered_json marked = {{"id", 1}, {"pur_auth_user", "user1"}, {"pack_mark", "mark1"}};
  const ordered_json unmarked = {{"id", 2}, {"pur_auth_user", "user2"}, {"pack_mark", ""}};
  console.answer_json("GET", "/console/v1/tv_proxy_ip/host", listing({marked, unmarked, ordered_json::object()}));
  const ordered_json products = member.get_short_term_products()["products"];
  EXPECT_EQ(products[0]["pack_mark"], "mark1");
  EXPECT_EQ(products[1]["pack_mark"], "user2");
  EXPECT_EQ(
      products[2].dump(),
      R"({"id":"","product_name":"","name":"","pur_auth_user":"","pur_auth_passwd":"","api_key":"","api_url":"","pack_mark":"","ip_count_surplus":"","due_time":0,"status":"","life_cycle_name":""})");
}

TEST_F(ProductsTest, ListingRequestFailuresAreLoggedPerFamily) {
  LogCapture log(LOGGER_CLIENT);
  ToVixProxyClient offline(loopback_url("http", refused_port()), std::string(kToken));
  const std::string failure = R"({"success":false,"products":[],"count":0,"message":"无法连接到服务器，请检查网络"})";
  EXPECT_EQ(offline.get_long_term_products().dump(), failure);
  EXPECT_EQ(offline.get_short_term_products().dump(), failure);
  EXPECT_TRUE(log.contains(spdlog::level::err, "获取长效代理列表异常: 无法连接到服务器，请检查网络"));
  EXPECT_TRUE(log.contains(spdlog::level::err, "获取短效代理列表异常: 无法连接到服务器，请检查网络"));
}

TEST_F(ProductsTest, WhitelistIsReadAndWrittenUnderTheProductPath) {
  const std::string path = "/console/v1/tv_proxy_ip/host/12/ip_white";
  console.answer_json("GET", path, {{"status", 200}, {"msg", "ok"}, {"data", {{"ip_white", {"1.1.1.1"}}, {"x", 1}}}});
  EXPECT_EQ(member.get_short_term_whitelist(12).dump(),
            R"({"success":true,"data":{"ip_white":["1.1.1.1"],"x":1},"host_id":12,"message":"ok"})");
  EXPECT_EQ(console.last().query, "id=12");

  console.answer_json("GET", path,
                      {{"status", 403}, {"msg", "无权限"}, {"data", {{"ip_white", ordered_json::array()}}}});
  EXPECT_EQ(member.get_short_term_whitelist("12").dump(),
            R"({"success":false,"data":{"ip_white":[]},"host_id":"12","message":"无权限"})")
      << "a refusal still carries the console's payload and message";

  console.answer_json("POST", path, {{"status", 200}, {"msg", "保存成功"}});
  EXPECT_EQ(member.set_short_term_whitelist(12, "1.1.1.1\n2.2.2.2").dump(), R"({"success":true,"message":"保存成功"})");
  const RecordedRequest write = console.last();
  EXPECT_EQ(
      write.json_body().dump(),
      R"({"ip_white":"1.1.1.1\n2.2.2.2","api_status":false,"api_status_pwd":false,"api_status_white":false,"api_status_white_ip":"","id":12})");
  EXPECT_EQ(write.query, "");

  member.get_short_term_whitelist("a/../b?c");
  EXPECT_EQ(console.last().target, "/console/v1/tv_proxy_ip/host/a%2F..%2Fb%3Fc/ip_white?id=a%2F..%2Fb%3Fc")
      << "an id cannot reach another address";
}

TEST_F(ProductsTest, WhitelistFailuresKeepTheirKeys) {
  LogCapture log(LOGGER_CLIENT);
  const std::string path = "/console/v1/tv_proxy_ip/host/9/ip_white";
  console.answer_json("GET", path, {{"status", 200}, {"data", "text"}});
  EXPECT_EQ(member.get_short_term_whitelist(9).dump(), R"({"success":true,"data":{},"host_id":9,"message":""})");
  console.answer_json("GET", path, {{"msg", "x"}}, 502);
  EXPECT_EQ(member.get_short_term_whitelist(9).dump(),
            R"({"success":false,"data":{},"host_id":9,"message":"服务器返回 502: x"})");
  EXPECT_TRUE(log.contains(spdlog::level::err, "获取短效白名单异常: 服务器返回 502: x"));

  console.answer("POST", path, FakeAnswer{200, "<html>", "text/html", {}});
  EXPECT_EQ(member.set_short_term_whitelist(9, "").dump(), R"({"success":false,"message":"服务器返回数据格式异常"})");
  EXPECT_TRUE(log.contains(spdlog::level::err, "设置短效白名单异常: 服务器返回数据格式异常"));
}

}  // namespace
}  // namespace tovix::testing
