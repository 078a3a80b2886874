#include "ui/result_values.h"

#include "common/json_values.h"

namespace tovix::ui {

bool is_set(const nlohmann::ordered_json& record, std::string_view key) {
  if (!record.is_object()) return false;
  const auto it = record.find(key);
  return it != record.end() && tovix::is_truthy(*it);
}

QString text_or(const nlohmann::ordered_json& record, std::string_view key, const QString& fallback) {
  if (!is_set(record, key)) return fallback;
  return QString::fromStdString(tovix::text_of(record.at(std::string(key))));
}

QString display_text(const nlohmann::ordered_json& record, std::string_view key, const QString& fallback) {
  if (!record.is_object()) return fallback;
  const auto it = record.find(key);
  if (it == record.end() || it->is_null()) return fallback;
  return QString::fromStdString(tovix::text_of(*it));
}

}  // namespace tovix::ui
