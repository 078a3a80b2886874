// Not a test: renders the routing rules tab inside the main window, the rule editor refusing a
// bad network, and the tab after a file with unusable rules, for a person to look at.
// QT_QPA_PLATFORM=offscreen build/debug/bin/rules_screenshots OUTPUT_DIR
#include <QApplication>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>
#include <iostream>

#include "app/core/proxy_text.h"
#include "app/window/main_window.h"
#include "app/window/rule_edit_dialog.h"
#include "app/window/rules_panel.h"
#include "config/settings_store.h"
#include "engine/rules/rule_json.h"
#include "tests/support/screenshot_run.h"
#include "tests/support/temp_dir.h"

using namespace tovix;
using namespace tovix::testing;
using Json = nlohmann::ordered_json;

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc < 2) {
    std::cerr << "usage: rules_screenshots OUTPUT_DIR\n";
    return 2;
  }
  const std::filesystem::path out = argv[1];
  std::filesystem::create_directories(out);
  TempDir dir;
  SettingsStore& settings = SettingsStore::_instance_at(dir / "config.json");
  settings.set_proxy_list(Json::array({app::make_proxy_entry("socks5", "203.0.113.5", 1080, "u", "p"),
                                       app::make_proxy_entry("http", "198.51.100.7", 3128, "u", "p")}));
  Json rules = rules_to_json(default_route_rules());
  for (const char* rule :
       {R"({"note": "游戏直连", "programs": ["game.exe", "*launcher*"], "ports": "27000-27100", "action": "direct"})",
        R"({"note": "视频走第二个代理", "names": [".video.example", "cdn.example"], "action": "proxy", "proxy": 1})",
        R"({"note": "", "networks": ["203.0.113.0/24", "2001:db8::/32"], "action": "block"})",
        R"({"note": "已删除的代理", "programs": ["old.exe"], "action": "proxy", "proxy": 4})"}) {
    rules.push_back(rule_to_json(rule_from_json(Json::parse(rule))));
  }
  settings.set_route_rules(rules);

  app::MainWindow window(settings);
  window.resize(1000, 640);
  window.show();
  window.tabs()->setCurrentWidget(window.rules_panel()->parentWidget());
  window.rules_panel()->table()->selectRow(2);
  save_screenshot(window, out / "rules_tab.png");

  QTimer::singleShot(0, [&] {
    auto* dialog = qobject_cast<app::RuleEditDialog*>(QApplication::activeModalWidget());
    dialog->networks_edit()->setText("192.168.1.0/24, 10.0.0.0/33");
    dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    save_screenshot(*dialog, out / "rule_editor_refusal.png");
    dialog->reject();
  });
  window.rules_panel()->edit_button()->click();

  settings.set_route_rules(Json::parse(R"([{"ports": "80", "action": "teleport"}])"));
  settings.load();
  app::RulesPanel problem_panel(settings);
  problem_panel.setStyleSheet(window.styleSheet());
  problem_panel.resize(900, 420);
  problem_panel.show();
  save_screenshot(problem_panel, out / "rules_tab_after_bad_file.png");
  return 0;
}
