// Captcha, SMS code, login and logout.
#include "api/tovixproxy_client.h"
#include "api/tovixproxy_client_session.h"
#include "api/tovixproxy_client_values.h"
#include "common/json_values.h"
#include "common/text.h"

namespace tovix {
namespace {

using detail::field;
using detail::is_status_200;
using detail::text_field;

std::string error_text(const std::exception& error) { return to_valid_utf8(error.what()); }

Json captcha_record(bool success, const std::optional<std::string>& image, const std::optional<std::string>& token,
                    const std::string& message) {
  return {{"success", success},
          {"image_base64", image ? Json(*image) : Json()},
          {"token", token ? Json(*token) : Json()},
          {"message", message}};
}

Json plain_record(bool success, const std::string& message) { return {{"success", success}, {"message", message}}; }

Json login_failure(const std::string& message, bool need_captcha = false) {
  return {{"success", false},
          {"jwt", nullptr},
          {"client_id", nullptr},
          {"message", message},
          {"need_captcha", need_captcha}};
}

// The console sends the login status as a number or as a decimal text.
bool login_accepted(const Json& status) {
  if (!status.is_string()) return is_status_200(status);
  try {
    return to_integer(status) == 200;
  } catch (const std::invalid_argument&) {
    return false;
  }
}

// The first of the answer's texts that is set.
std::string first_text(std::initializer_list<std::optional<std::string>> candidates, const std::string& fallback) {
  for (const auto& text : candidates) {
    if (text && !text->empty()) return *text;
  }
  return fallback;
}

}  // namespace

Json ToVixProxyClient::get_captcha() {
  try {
    const Json answer = _request("GET", "/console/v1/captcha");
    const std::string html = text_field(detail::object_field(answer, "data"), "html").value_or("");
    const auto token = detail::find_captcha_token(html);
    const auto image = detail::find_captcha_image(html);
    if (!image) return captcha_record(false, std::nullopt, std::nullopt, "验证码页面未找到图片");
    return captcha_record(true, image, token, "获取成功");
  } catch (const RequestError& error) {
    return captcha_record(false, std::nullopt, std::nullopt, error.what());
  } catch (const std::exception& error) {
    detail::client_log().error("{} 获取验证码未预期异常\n{}", _host(), error_text(error));
    return captcha_record(false, std::nullopt, std::nullopt, "获取验证码异常: " + error_text(error));
  }
}

Json ToVixProxyClient::verify_captcha(const std::string& token, const std::string& captcha) {
  try {
    const auto headers =
        _headers_with({{"Content-Type", "application/x-www-form-urlencoded"}, {"Accept", "application/json"}});
    // Encoded, so that a "&", "=" or "+" typed by the user reaches the console as typed.
    const std::string body = detail::form_encode({{"captcha", captcha}, {"token", token}});
    const auto response = _session->perform(_base_url + "/captcha/tp_captcha/index/verify", headers, body);
    if (response.status != 200) return plain_record(false, detail::refusal_text(response, false));
    const Json answer = Json::parse(response.body);
    return plain_record(is_status_200(field(answer, "status")), text_field(answer, "msg").value_or(""));
  } catch (const detail::TransportError& error) {
    switch (error.kind()) {
      case detail::TransportFailure::timeout:
        return plain_record(false, "校验验证码请求超时");
      case detail::TransportFailure::connect:
        return plain_record(false, "无法连接到服务器，请检查网络");
      case detail::TransportFailure::other:
        break;
    }
    return plain_record(false, "校验验证码异常: " + error_text(error));
  } catch (const std::exception& error) {
    return plain_record(false, "校验验证码异常: " + error_text(error));
  }
}

Json ToVixProxyClient::send_phone_code(const std::string& phone, const Json& phone_code, const std::string& token,
                                       const std::string& captcha) {
  const Json body = {
      {"action", "login"}, {"phone_code", phone_code}, {"phone", phone}, {"token", token}, {"captcha", captcha}};
  try {
    const Json answer = _request("POST", "/console/v1/phone/code", body);
    return plain_record(is_status_200(field(answer, "status")), text_field(answer, "msg").value_or(""));
  } catch (const RequestError& error) {
    return plain_record(false, error.what());
  } catch (const std::exception& error) {
    return plain_record(false, "发送验证码异常: " + error_text(error));
  }
}

Json ToVixProxyClient::login(const std::string& account, const std::string& password, const Json& phone_code,
                             const std::optional<std::string>& captcha_code,
                             const std::optional<std::string>& captcha_token, const std::string& login_type) {
  try {
    Json body;
    if (login_type == "code") {
      body = {{"type", "code"},   {"account", account}, {"phone_code", phone_code},
              {"code", password}, {"password", ""},     {"remember_password", "0"}};
    } else {
      body = {{"type", "password"},
              {"account", account},
              {"password", _encrypt_password(password)},
              {"phone_code", phone_code},
              {"remember_password", 0}};
    }
    if (captcha_code && !captcha_code->empty()) body["captcha"] = *captcha_code;
    if (captcha_token && !captcha_token->empty()) body["token"] = *captcha_token;

    const Json answer = _request("POST", "/console/v1/login", body);
    if (login_accepted(field(answer, "status"))) {
      const Json& data = field(answer, "data");
      const std::string jwt = text_field(data, "jwt").value_or("");
      if (jwt.empty()) return login_failure("登录返回数据中缺少 Token");
      const Json client_id = field(data, "id");
      _sign_in(jwt, client_id);
      detail::client_log().info("{} 登录成功, client_id={}", _host(), text_of(client_id));
      return {
          {"success", true}, {"jwt", jwt}, {"client_id", client_id}, {"message", "登录成功"}, {"need_captcha", false}};
    }
    const Json data = detail::object_field(answer, "data");
    const Json& captcha_flag = field(data, "captcha");
    const bool need_captcha = is_truthy(is_truthy(captcha_flag) ? captcha_flag : field(data, "need_captcha"));
    const std::string message =
        first_text({text_field(answer, "msg"), text_field(answer, "message"), text_field(data, "message")},
                   "登录失败，请检查账号密码");
    return login_failure(message, need_captcha);
  } catch (const RequestError& error) {
    detail::client_log().error("{} 登录异常: {}", _host(), error.what());
    return login_failure(error.what());
  } catch (const std::exception& error) {
    detail::client_log().error("{} 登录未预期异常\n{}", _host(), error_text(error));
    return login_failure("登录异常: " + error_text(error));
  }
}

Json ToVixProxyClient::logout() {
  if (!_signed_in()) return plain_record(true, "未登录，无需登出");
  Json result;
  try {
    const Json answer = _request("POST", "/console/v1/logout");
    detail::client_log().info("{} 登出成功", _host());
    // A key that is there wins even when its text is empty.
    result = plain_record(true, text_field(answer, "msg").value_or(text_field(answer, "message").value_or("已登出")));
  } catch (const RequestError& error) {
    detail::client_log().warn("登出 API 调用失败（本地状态将清除）: {}", error.what());
    result = plain_record(false, error.what());
  } catch (...) {
    _sign_out();
    throw;
  }
  _sign_out();
  return result;
}

}  // namespace tovix
