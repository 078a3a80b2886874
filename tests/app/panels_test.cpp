// The window's editors, offscreen: proxies (with the port check), chosen applications, the
// application picker and the driver panel.
#include <gtest/gtest.h>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include "app/core/proxy_text.h"
#include "app/core/task_worker.h"
#include "app/window/driver_panel.h"
#include "app/window/process_list_panel.h"
#include "app/window/process_picker_dialog.h"
#include "app/window/proxy_edit_dialog.h"
#include "app/window/proxy_list_panel.h"
#include "app/window/spread_mode_box.h"
#include "engine/driver_setup/driver_setup.h"
#include "tests/app/window_fixture.h"
#include "ui/status_style.h"
#include "ui/worker_slot.h"

namespace tovix::testing {
namespace {

using Json = nlohmann::ordered_json;
using app::ProxyEditDialog;
constexpr int WAIT_MS = 30000;

Json app_entry(const char* type, const char* host, int port) { return app::make_proxy_entry(type, host, port, "", ""); }

// Runs `fill` on the proxy dialog once it is shown (the panel opens it modally).
void when_dialog_opens(std::function<void(ProxyEditDialog&)> fill) {
  QTimer::singleShot(0, [fill] {
    auto* dialog = qobject_cast<ProxyEditDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    fill(*dialog);
  });
}

void type_entry(ProxyEditDialog& dialog, int type, const char* host, const char* port, const char* user,
                const char* pass) {
  dialog.type_box()->setCurrentIndex(type);
  dialog.host_edit()->setText(host);
  dialog.port_edit()->setText(port);
  dialog.username_edit()->setText(user);
  dialog.password_edit()->setText(pass);
}

void press_ok(ProxyEditDialog& dialog) { dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click(); }

class Panels : public WindowTest {};

TEST_F(Panels, ProxiesAreAddedEditedAndRemovedThroughTheStore) {
  app::ProxyListPanel panel(settings);
  QSignalSpy changes(&panel, &app::ProxyListPanel::proxies_changed);

  // A bad port keeps the dialog open with the reason; a good one stores the entry.
  when_dialog_opens([](ProxyEditDialog& dialog) {
    for (const char* bad : {"abc", "0", "65536", ""}) {
      type_entry(dialog, 1, "proxy.example.com", bad, "u1", "p1");
      press_ok(dialog);
      EXPECT_TRUE(dialog.isVisible()) << bad;
      EXPECT_EQ(dialog.status_label()->text(), QStringLiteral("端口必须是 1 到 65535 之间的数字"));
      EXPECT_EQ(dialog.status_label()->styleSheet(), QString(ui::STATUS_STYLE_ERROR));
    }
    type_entry(dialog, 1, "bad host", "8080", "u1", "p1");
    press_ok(dialog);
    EXPECT_TRUE(dialog.isVisible());
    type_entry(dialog, 1, " proxy.example.com ", "8080", "u1", "p1");
    press_ok(dialog);
  });
  panel.add_button()->click();
  const Json first = {
      {"type", "http"}, {"host", "proxy.example.com"}, {"port", 8080}, {"username", "u1"}, {"password", "p1"}};
  EXPECT_EQ(settings.proxy_list(), Json::array({first}));
  ASSERT_EQ(changes.count(), 1);
  EXPECT_EQ(changes[0][0].value<Json>(), Json::array({first}));
  EXPECT_EQ(panel.table()->item(0, 0)->text(), "HTTP");
  EXPECT_EQ(panel.table()->item(0, 4)->text(), "••••••") << "no password on screen";

  panel.add_entries(Json::array({app_entry("socks5", "10.0.0.9", 1080), app_entry("socks5", "10.0.0.10", 1081)}));
  EXPECT_EQ(settings.proxy_list().size(), 3u);
  EXPECT_EQ(changes.count(), 2) << "one announcement for the whole import";

  panel.table()->selectRow(1);
  when_dialog_opens([](ProxyEditDialog& dialog) {
    EXPECT_EQ(dialog.host_edit()->text(), "10.0.0.9");
    dialog.port_edit()->setText("2080");
    press_ok(dialog);
  });
  panel.edit_button()->click();
  EXPECT_EQ(settings.proxy_list()[1]["port"], 2080);

  panel.table()->selectRow(0);
  panel.remove_button()->click();
  EXPECT_EQ(settings.proxy_list().size(), 2u);
  EXPECT_EQ(settings.proxy_list()[0]["host"], "10.0.0.9");
  EXPECT_EQ(changes.count(), 4);
}

TEST_F(Panels, SpreadingChoiceIsStoredAsTheEngineReadsIt) {
  settings.set("pid_mode", true);
  app::ProxyListPanel panel(settings);
  app::SpreadModeBox* box = panel.spread_box();
  EXPECT_EQ(box->mode(), pool::SpreadMode::per_program) << "an older file's pid_mode";
  struct Case {
    pool::SpreadMode mode;
    bool pid_mode;
    bool per_connection;
  };
  for (const Case& c :
       {Case{pool::SpreadMode::per_connection, false, true}, Case{pool::SpreadMode::first_available, false, false},
        Case{pool::SpreadMode::per_program, true, false}}) {
    box->setCurrentIndex(box->findText(QString::fromStdString(pool::spread_mode_name(c.mode))));
    EXPECT_EQ(settings.get("pid_mode"), c.pid_mode) << static_cast<int>(c.mode);
    EXPECT_EQ(settings.get("per_connection_mode"), c.per_connection) << static_cast<int>(c.mode);
    EXPECT_EQ(pool::spread_mode_of(settings.to_dict()), c.mode);
  }
}

TEST_F(Panels, ChosenApplicationsFromTypingAndFromThePickers) {
  std::vector<app::ProcessPickerDialog::Source> asked;
  app::ProcessListPanel panel(settings, nullptr, [&asked](app::ProcessPickerDialog::Source source, QWidget*) {
    asked.push_back(source);
    return QStringList{"firefox-esr", "Chrome.exe"};
  });
  panel.name_edit()->setText(" chrome.exe ");
  panel.add_button()->click();
  panel.name_edit()->setText("");
  panel.add_button()->click();
  EXPECT_EQ(settings.process_list(), Json::array({"chrome.exe"}));

  panel.pick_installed_button()->click();
  panel.pick_running_button()->click();
  EXPECT_EQ(asked, (std::vector{app::ProcessPickerDialog::Source::installed_apps,
                                app::ProcessPickerDialog::Source::running_processes}));
  EXPECT_EQ(settings.process_list(), Json::array({"chrome.exe", "firefox-esr"}))
      << "names differing in case count once";

  panel.list()->item(0)->setSelected(true);
  panel.remove_button()->click();
  EXPECT_EQ(settings.process_list(), Json::array({"firefox-esr"}));
}

TEST_F(Panels, PickerListsOffTheGuiThreadAndGivesProcessNames) {
  const Json apps = Json::array({{{"Name", "Firefox"}, {"Exe", "/usr/lib/firefox-esr/firefox-esr"}},
                                 {{"Name", "WeChat"}, {"Exe", "C:\\Program Files\\Tencent\\WeChat.exe"}},
                                 {{"Name", "Broken"}}});
  app::ProcessPickerDialog dialog(app::ProcessPickerDialog::Source::installed_apps, nullptr, [apps] { return apps; });
  QSignalSpy loaded(&dialog, &app::ProcessPickerDialog::loaded);
  ASSERT_TRUE(loaded.wait(WAIT_MS));
  EXPECT_EQ(loaded[0][0].toInt(), 3);
  ASSERT_EQ(dialog.table()->rowCount(), 3);
  EXPECT_EQ(dialog.table()->item(1, 1)->text(), "C:\\Program Files\\Tencent\\WeChat.exe");

  dialog.filter_edit()->setText("tencent");
  EXPECT_TRUE(dialog.table()->isRowHidden(0));
  EXPECT_FALSE(dialog.table()->isRowHidden(1));
  dialog.table()->selectAll();
  EXPECT_EQ(dialog.chosen_names(), (QStringList{"firefox-esr", "wechat.exe"}))
      << "an entry without a program is left out";

  // The running-process listing gives its names as they are.
  app::ProcessPickerDialog running(app::ProcessPickerDialog::Source::running_processes, nullptr, [] {
    return Json::array({{{"name", "curl"}, {"exe", "/usr/bin/curl"}}, {{"name", "init"}, {"exe", ""}}});
  });
  QSignalSpy running_loaded(&running, &app::ProcessPickerDialog::loaded);
  ASSERT_TRUE(running_loaded.wait(WAIT_MS));
  running.table()->selectAll();
  EXPECT_EQ(running.chosen_names(), (QStringList{"curl", "init"}));
}

TEST_F(Panels, ATaskMayStartTheNextFromItsOutcome) {
  QObject receiver;
  QPointer<app::TaskWorker> slot;
  std::vector<int> outcomes;
  std::function<void(int)> run = [&](int n) {
    const bool started = app::start_task(
        slot, &receiver, [n] { return Json{{"n", n}}; },
        [&](const Json& result) {
          outcomes.push_back(result.value("n", 0));
          if (outcomes.size() < 3) run(result.value("n", 0) + 1);
        });
    ASSERT_TRUE(started) << "slot still taken when run " << n << " was asked for";
  };
  run(1);
  EXPECT_FALSE(app::start_task(slot, &receiver, [] { return Json(); }, [](const Json&) {}))
      << "a second task while one runs";
  ASSERT_TRUE(QTest::qWaitFor([&] { return outcomes.size() == 3; }, WAIT_MS));
  EXPECT_EQ(outcomes, (std::vector<int>{1, 2, 3}));
  ASSERT_TRUE(ui::wait_for_released_workers(WAIT_MS));
}

TEST_F(Panels, DriverCommandsRunOffTheGuiThreadAndShowTheirOutcome) {
  int installs = 0;
  app::DriverPanel::Actions actions;
  actions.check = [&installs] {
    app::DiversionFacility facility;
    facility.driver_managed = true;
    facility.summary = "WinDivert";
    facility.checks.push_back({"驱动服务", installs > 1, installs > 1 ? "已安装" : "未安装"});
    return facility;
  };
  actions.install = [&installs]() -> std::pair<bool, std::string> {
    if (++installs == 1) throw DriverCommandError({"sc", "stop", "WinDivert"}, "timed out", true);
    return {true, "驱动安装成功，已启动"};
  };
  actions.uninstall = [] { return std::pair<bool, std::string>(true, "驱动已卸载"); };
  app::DriverPanel panel(nullptr, actions);
  QSignalSpy updated(&panel, &app::DriverPanel::updated);
  ASSERT_TRUE(updated.wait(WAIT_MS));
  EXPECT_FALSE(panel.install_button()->isHidden());
  EXPECT_EQ(panel.checks_table()->item(0, 2)->text(), "未安装");

  panel.install_button()->click();
  EXPECT_FALSE(panel.install_button()->isEnabled()) << "no second command while one runs";
  ASSERT_TRUE(updated.wait(WAIT_MS));
  EXPECT_FALSE(panel.status_label()->text().isEmpty());
  EXPECT_EQ(panel.status_label()->styleSheet(), QString(ui::STATUS_STYLE_ERROR));

  panel.install_button()->click();
  ASSERT_TRUE(updated.wait(WAIT_MS));
  EXPECT_EQ(panel.status_label()->text(), "驱动安装成功，已启动");
  EXPECT_EQ(panel.status_label()->styleSheet(), QString(ui::STATUS_STYLE_SUCCESS));
  EXPECT_EQ(panel.checks_table()->item(0, 2)->text(), "已安装");

  panel.uninstall_button()->click();
  ASSERT_TRUE(updated.wait(WAIT_MS));
  EXPECT_EQ(panel.status_label()->text(), "驱动已卸载");
}

TEST_F(Panels, LinuxDriverPanelSaysWhatTheBackendNeeds) {
  app::DriverPanel panel;
  QSignalSpy updated(&panel, &app::DriverPanel::updated);
  ASSERT_TRUE(updated.wait(WAIT_MS));
  EXPECT_TRUE(panel.install_button()->isHidden());
  EXPECT_TRUE(panel.summary_label()->text().contains("NFQUEUE"));
  ASSERT_EQ(panel.checks_table()->rowCount(), 3);
  EXPECT_EQ(panel.checks_table()->item(0, 0)->text(), "root 权限");
}

}  // namespace
}  // namespace tovix::testing
