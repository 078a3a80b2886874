#pragma once
// The proxy list: a table of the stored ProxyEntry records with add, edit and remove. Every
// change goes through the settings store at once and is announced with the new list. With the
// pool's readings set, each row also shows its proxy's health and usage.
#include <QWidget>

#include <memory>

#include <nlohmann/json.hpp>

class QPushButton;
class QTableWidget;

namespace tovix {
class SettingsStore;
}
namespace tovix::pool {
class PoolReadings;
}
namespace tovix::insight {
class PoolCellsTimer;
}

namespace tovix::app {

class SpreadModeBox;

class ProxyListPanel : public QWidget {
  Q_OBJECT

 public:
  explicit ProxyListPanel(SettingsStore& settings, QWidget* parent = nullptr);

  // Appends entries (an import) and saves them.
  void add_entries(const nlohmann::ordered_json& entries);
  // Re-reads the list from the store.
  void reload();
  // Health and usage of the listed proxies, refreshed every few seconds (null: none shown).
  void set_pool_readings(std::shared_ptr<const pool::PoolReadings> readings);
  void refresh_pool_cells();

  QTableWidget* table() const { return _table; }
  QPushButton* add_button() const { return _add; }
  QPushButton* edit_button() const { return _edit; }
  QPushButton* remove_button() const { return _remove; }
  SpreadModeBox* spread_box() const { return _spread; }

 signals:
  void proxies_changed(const nlohmann::ordered_json& proxy_list);

 private:
  void _on_add();
  void _on_edit();
  void _on_remove();
  void _save(const nlohmann::ordered_json& entry, std::int64_t index);
  void _store(const nlohmann::ordered_json& entry, std::int64_t index);
  void _announce();

  SettingsStore& _settings;
  QTableWidget* _table;
  QPushButton* _add;
  QPushButton* _edit;
  QPushButton* _remove;
  SpreadModeBox* _spread;
  insight::PoolCellsTimer* _pool;
};

}  // namespace tovix::app
