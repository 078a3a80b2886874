// The routing rules tab, offscreen: the editor refuses what the engine could not follow, and
// the list is stored in order as it is added to, edited, moved and pruned.
#include <gtest/gtest.h>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTimer>

#include "app/core/proxy_text.h"
#include "app/window/rule_edit_dialog.h"
#include "app/window/rules_panel.h"
#include "engine/rules/rule_json.h"
#include "tests/app/window_fixture.h"
#include "tests/support/temp_dir.h"
#include "ui/status_style.h"

namespace tovix::testing {
namespace {

using Json = nlohmann::ordered_json;
using app::RuleEditDialog;

void when_editor_opens(std::function<void(RuleEditDialog&)> fill) {
  QTimer::singleShot(0, [fill] {
    auto* dialog = qobject_cast<RuleEditDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    fill(*dialog);
  });
}

void press_ok(RuleEditDialog& dialog) { dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click(); }

void choose_action(RuleEditDialog& dialog, const QString& text) {
  const int index = dialog.action_box()->findText(text);
  ASSERT_GE(index, 0) << text.toStdString();
  dialog.action_box()->setCurrentIndex(index);
}

std::vector<QString> column(QTableWidget* table, int column) {
  std::vector<QString> texts;
  for (int row = 0; row < table->rowCount(); ++row) texts.push_back(table->item(row, column)->text());
  return texts;
}

class RulesTab : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    settings.set_proxy_list(Json::array({app::make_proxy_entry("socks5", "203.0.113.5", 1080, "", ""),
                                         app::make_proxy_entry("http", "198.51.100.7", 3128, "", "")}));
  }
};

TEST_F(RulesTab, EditorRefusesWhatCannotBeStoredAndKeepsTheDialogOpen) {
  app::RulesPanel panel(settings);
  const Json before = settings.route_rules();
  QSignalSpy changes(&panel, &app::RulesPanel::rules_changed);

  when_editor_opens([](RuleEditDialog& dialog) {
    const std::vector<std::pair<std::function<void()>, std::string>> refusals{
        {[] {}, "没有任何条件"},
        {[&] { dialog.networks_edit()->setText("10.0.0.0/8, 192.168.1.0/33"); }, "无效的地址或网段 \"192.168.1.0/33\""},
        {[&] {
           dialog.networks_edit()->clear();
           dialog.ports_edit()->setText("443, 9000-8000");
         },
         "无效的端口 \"443, 9000-8000\""},
        {[&] { dialog.ports_edit()->setText("70000"); }, "无效的端口 \"70000\""},
        {[&] {
           dialog.ports_edit()->clear();
           dialog.names_edit()->setText("例子.example");
         },
         "无效的域名 \"例子.example\""},
    };
    for (const auto& [type, message] : refusals) {
      type();
      press_ok(dialog);
      EXPECT_TRUE(dialog.isVisible()) << message;
      EXPECT_NE(dialog.status_label()->text().toStdString().find(message), std::string::npos)
          << dialog.status_label()->text().toStdString();
      EXPECT_EQ(dialog.status_label()->styleSheet(), QString(ui::STATUS_STYLE_ERROR));
    }
    dialog.names_edit()->setText("*.Video.example， cdn.example");
    dialog.programs_edit()->setText("chrome.exe, *steam*");
    dialog.ports_edit()->setText(" 443 ");
    choose_action(dialog, "代理 2 (198.51.100.7:3128)");
    press_ok(dialog);
  });
  panel.add_button()->click();
  EXPECT_EQ(changes.count(), 1);
  const Json stored = settings.route_rules();
  ASSERT_EQ(stored.size(), before.size() + 1);
  EXPECT_EQ(stored.back(), Json::parse(R"({"note": "", "programs": ["chrome.exe", "*steam*"],
      "names": [".video.example", "cdn.example"], "networks": [], "ports": "443", "action": "proxy", "proxy": 1})"));
  const int last = panel.table()->rowCount() - 1;
  EXPECT_EQ(panel.table()->item(last, 2)->text(),
            "程序 chrome.exe, *steam* · 端口 443 · 域名 .video.example, cdn.example");
  EXPECT_EQ(panel.table()->item(last, 3)->text(), "代理 2 (198.51.100.7:3128)");

  // Cancelling stores nothing.
  when_editor_opens([](RuleEditDialog& dialog) {
    dialog.ports_edit()->setText("25");
    dialog.reject();
  });
  panel.add_button()->click();
  EXPECT_EQ(settings.route_rules(), stored);
}

TEST_F(RulesTab, RulesAreEditedMovedAndDeletedInOrder) {
  settings.set_route_rules(Json::parse(R"([
    {"note": "a", "ports": "1", "action": "direct"},
    {"note": "b", "ports": "2", "action": "block"},
    {"note": "c", "ports": "3", "action": "proxy", "proxy": 5}
  ])"));
  app::RulesPanel panel(settings);
  const auto notes = [&] {
    std::vector<std::string> stored;
    for (const auto& rule : settings.route_rules()) stored.push_back(rule["note"]);
    return stored;
  };
  EXPECT_EQ(column(panel.table(), 3), (std::vector<QString>{"直连", "阻止 (立即断开)", "代理 6 (列表中已没有)"}));
  EXPECT_FALSE(panel.edit_button()->isEnabled());

  panel.table()->selectRow(0);
  EXPECT_FALSE(panel.up_button()->isEnabled());
  panel.down_button()->click();
  EXPECT_EQ(notes(), (std::vector<std::string>{"b", "a", "c"}));
  EXPECT_EQ(panel.table()->currentRow(), 1) << "the moved rule stays selected";
  panel.down_button()->click();
  EXPECT_EQ(notes(), (std::vector<std::string>{"b", "c", "a"}));
  EXPECT_FALSE(panel.down_button()->isEnabled());
  panel.table()->selectRow(1);
  panel.up_button()->click();
  EXPECT_EQ(notes(), (std::vector<std::string>{"c", "b", "a"}));

  // Editing a rule whose proxy is gone keeps that choice until another is made.
  panel.table()->selectRow(0);
  when_editor_opens([](RuleEditDialog& dialog) {
    EXPECT_EQ(dialog.ports_edit()->text(), "3");
    EXPECT_EQ(dialog.action_box()->currentText(), "代理 6 (列表中已没有)");
    dialog.note_edit()->setText("c2");
    press_ok(dialog);
  });
  panel.edit_button()->click();
  EXPECT_EQ(settings.route_rules()[0]["note"], "c2");
  EXPECT_EQ(settings.route_rules()[0]["proxy"], 5);

  panel.table()->selectRow(1);
  panel.remove_button()->click();
  EXPECT_EQ(notes(), (std::vector<std::string>{"c2", "a"}));
  EXPECT_EQ(column(panel.table(), 0), (std::vector<QString>{"1", "2"}));
}

TEST_F(RulesTab, NamesAtTheProxySwitchAndAProblemOfTheLastLoad) {
  {
    app::RulesPanel panel(settings);
    EXPECT_TRUE(panel.names_at_proxy_box()->isChecked());
    EXPECT_TRUE(panel.problem_label()->isHidden());
    panel.names_at_proxy_box()->click();
    EXPECT_EQ(settings.resolve_names_at_proxy(), false);
  }
  settings.set(ROUTE_RULES_KEY, Json::parse(R"([{"ports": "80", "action": "sideways"}])"));
  settings.load();
  app::RulesPanel panel(settings);
  EXPECT_FALSE(panel.names_at_proxy_box()->isChecked());
  EXPECT_FALSE(panel.problem_label()->isHidden());
  EXPECT_NE(panel.problem_label()->text().toStdString().find("未知的动作 \"sideways\""), std::string::npos);
  EXPECT_EQ(panel.table()->rowCount(), static_cast<int>(default_route_rules().size()));
  settings.load();  // the next tests start from a file without a problem
}

}  // namespace
}  // namespace tovix::testing
