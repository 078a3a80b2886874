#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QTextEdit>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/loopback_server.h"
#include "tests/ui/plan_dialog/dialog_fixture.h"
#include "ui/plan_dialog/plan_dialog.h"
#include "ui/plan_dialog/whitelist_edit_dialog.h"
#include "ui/worker_slot.h"

namespace tovix::testing {
namespace {

using nlohmann::ordered_json;

const char* const kWhitelistPath = "/console/v1/tv_proxy_ip/host/42/ip_white";
const QString kErrorStyle = QStringLiteral("color: #e64553; font-size: 12px;");
const QString kSuccessStyle = QStringLiteral("color: #40a02b; font-size: 12px;");

class WhitelistTest : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    console.answer_json("GET", "/console/v1/tv_proxy_ip/host",
                        listing({{{"id", 42}, {"status", "Active"}, {"product_name", "短效"}}}));
    console.answer_json("POST", kWhitelistPath, {{"status", 200}, {"msg", "ok"}});
    dialog = std::make_unique<PlanDialog>(nullptr, QStringLiteral("tv_proxy_ip"));
    ASSERT_TRUE(wait_until([&] { return dialog->table->rowCount() == 1; }));
  }

  void stored_whitelist(const ordered_json& ip_white) {
    console.answer_json("GET", kWhitelistPath, {{"status", 200}, {"msg", ""}, {"data", {{"ip_white", ip_white}}}});
  }

  // Clicks "修改" on the product's row and waits until the editor has come and gone.
  void edit_through_click(ModalWatcher& watcher) {
    dialog->_on_cell_clicked(0, 4);
    EXPECT_EQ(dialog->label_status->text(), QStringLiteral("获取白名单..."));
    EXPECT_FALSE(dialog->isEnabled());
    ASSERT_TRUE(
        wait_until([&] { return watcher.handled() == 1 && dialog->findChildren<WhitelistEditDialog*>().isEmpty(); }));
    EXPECT_TRUE(dialog->isEnabled());
  }

  std::size_t saves() const { return console.count_of("POST", kWhitelistPath); }

  std::unique_ptr<PlanDialog> dialog;
};

struct RoundTrip {
  const char* name;
  friend void PrintTo(const RoundTrip& c, std::ostream* out) { *out << c.name; }
  ordered_json stored;
  QString shown;
  std::optional<QString> typed;  // none: confirmed as shown
  bool confirm;
  std::optional<std::string> saved;  // none: nothing sent
};

class WhitelistRoundTrip : public WhitelistTest, public ::testing::WithParamInterface<RoundTrip> {};

TEST_P(WhitelistRoundTrip, ShowsOneAddressPerLineAndSendsOnlyAChange) {
  const RoundTrip& c = GetParam();
  stored_whitelist(c.stored);
  QString shown;
  QString info;
  auto watcher = ModalWatcher::on<WhitelistEditDialog>([&](WhitelistEditDialog* editor) {
    shown = editor->text_edit->toPlainText();
    for (const QLabel* label : editor->findChildren<QLabel*>()) info = label->text();
    if (c.typed) editor->text_edit->setPlainText(*c.typed);
    c.confirm ? editor->accept() : editor->reject();
  });
  edit_through_click(*watcher);
  EXPECT_EQ(shown, c.shown);
  EXPECT_EQ(info, QStringLiteral("产品 ID: 42\n请输入白名单 IP（一行一个）："));
  const auto read = console.requests()[1];
  EXPECT_EQ(read.path, kWhitelistPath);
  EXPECT_EQ(read.params, Fields({{"id", "42"}}));
  if (!c.saved) {
    EXPECT_EQ(saves(), 0u);
    EXPECT_EQ(dialog->label_status->text(), QStringLiteral("获取白名单..."));
    return;
  }
  EXPECT_EQ(dialog->label_status->text(), QStringLiteral("保存白名单..."));
  EXPECT_EQ(dialog->label_status->styleSheet(), QStringLiteral("color: #a6adc8; font-size: 12px;"));
  ASSERT_TRUE(wait_until([&] { return dialog->label_status->text() == QStringLiteral("白名单已更新"); }));
  EXPECT_EQ(dialog->label_status->styleSheet(), kSuccessStyle);
  ASSERT_EQ(saves(), 1u);
  EXPECT_EQ(console.last().json_body()["ip_white"], *c.saved);
}

INSTANTIATE_TEST_SUITE_P(
    Edits, WhitelistRoundTrip,
    ::testing::Values(
        RoundTrip{"comma_list_unchanged", "1.1.1.1,2.2.2.2", "1.1.1.1\n2.2.2.2", std::nullopt, true, std::nullopt},
        RoundTrip{"blanks_and_empty_entries", " 1.1.1.1 , ,2.2.2.2\n\n", "1.1.1.1\n2.2.2.2",
                  QStringLiteral("1.1.1.1\n  \n2.2.2.2\n \t\n"), true, std::nullopt},
        RoundTrip{"cancelled", "1.1.1.1", "1.1.1.1", QStringLiteral("9.9.9.9"), false, std::nullopt},
        RoundTrip{"emptied", "1.1.1.1,2.2.2.2", "1.1.1.1\n2.2.2.2", QStringLiteral(""), true, ""},
        RoundTrip{"changed", "1.1.1.1", "1.1.1.1", QStringLiteral(" 3.3.3.3 \n\n1.1.1.1 "), true, "3.3.3.3\n1.1.1.1"},
        RoundTrip{"none_stored", "", "", QStringLiteral("4.4.4.4"), true, "4.4.4.4"}),
    [](const ::testing::TestParamInfo<RoundTrip>& info) { return std::string(info.param.name); });

TEST_F(WhitelistTest, RefusedSaveShowsTheConsoleMessage) {
  console.answer_json("POST", kWhitelistPath, {{"status", 403}, {"msg", "无权限"}});
  dialog->_save_whitelist("42", "1.1.1.1");
  ASSERT_TRUE(wait_until([&] { return dialog->label_status->text().startsWith(QStringLiteral("保存失败: ")); }));
  EXPECT_EQ(dialog->label_status->text(), QStringLiteral("保存失败: 无权限"));
  EXPECT_EQ(dialog->label_status->styleSheet(), kErrorStyle);
  EXPECT_EQ(console.last().json_body()["id"], "42");
}

TEST_F(WhitelistTest, FailedReadOpensNoEditorThatCouldOverwriteTheList) {
  console.answer_json("GET", kWhitelistPath, {{"status", 500}, {"msg", "系统繁忙"}});
  auto watcher = ModalWatcher::on<WhitelistEditDialog>([&](WhitelistEditDialog* editor) { editor->accept(); });
  dialog->_edit_whitelist("42");
  ASSERT_TRUE(wait_until([&] { return dialog->isEnabled(); }));
  EXPECT_EQ(dialog->label_status->text(), QStringLiteral("获取白名单失败: 系统繁忙"));
  EXPECT_EQ(dialog->label_status->styleSheet(), kErrorStyle);
  EXPECT_EQ(watcher->handled(), 0);
  EXPECT_EQ(saves(), 0u);
}

TEST_F(WhitelistTest, SignedOutAsksNothing) {
  const std::size_t before = console.request_count();
  sign_out();
  dialog->_edit_whitelist("42");
  EXPECT_EQ(dialog->label_status->text(), QStringLiteral("未登录，请先登录"));
  EXPECT_EQ(dialog->label_status->styleSheet(), kErrorStyle);
  EXPECT_TRUE(dialog->isEnabled());
  EXPECT_TRUE(dialog->_wl_fetch_worker.isNull());
  EXPECT_EQ(console.request_count(), before);
}

TEST_F(WhitelistTest, SecondSaveWhileTheFirstRunsKeepsBothWorkersAlive) {
  console.hold_answers();
  dialog->_save_whitelist("42", "1.1.1.1");
  QPointer<WhitelistSaveWorker> first = dialog->_wl_save_worker;
  ASSERT_TRUE(wait_until([&] { return saves() == 1; }));
  dialog->_save_whitelist("42", "2.2.2.2");
  QPointer<WhitelistSaveWorker> second = dialog->_wl_save_worker;
  ASSERT_TRUE(wait_until([&] { return saves() == 2; }));
  ASSERT_NE(first, second);
  EXPECT_FALSE(first.isNull()) << "replaced while its thread runs";
  EXPECT_TRUE(first->isRunning());

  // The first answer ends the first thread only; the second worker stays in its slot.
  console.release_answers(1);
  ASSERT_TRUE(wait_until([&] { return first.isNull(); })) << "the first worker was never released";
  EXPECT_FALSE(second.isNull());
  EXPECT_EQ(dialog->_wl_save_worker, second);
  EXPECT_EQ(dialog->label_status->text(), QStringLiteral("保存白名单..."));

  console.release_answers(1);
  ASSERT_TRUE(wait_until([&] { return second.isNull(); }));
  EXPECT_EQ(dialog->label_status->text(), QStringLiteral("白名单已更新"));
  EXPECT_TRUE(dialog->_wl_save_worker.isNull());
  EXPECT_EQ(console.requests().back().json_body()["ip_white"], "2.2.2.2");
  EXPECT_EQ(ui::running_released_workers(), 0);
}

TEST_F(WhitelistTest, ClosingDuringASaveLeavesNoThreadBehind) {
  console.hold_answers();
  dialog->_save_whitelist("42", "1.1.1.1");
  QPointer<WhitelistSaveWorker> worker = dialog->_wl_save_worker;
  ASSERT_TRUE(wait_until([&] { return saves() == 1; }));
  dialog.reset();
  EXPECT_FALSE(worker.isNull());
  console.stop_holding();
  ASSERT_TRUE(ui::wait_for_released_workers(30000));
  ASSERT_TRUE(wait_until([&] { return worker.isNull(); }));
}

// Public-IP services on loopback for the editor's button.
struct IpServices {
  ConsoleFake refusing;  // answers 500
  LoopbackServer silent{never_answer()};
  ConsoleFake echo;

  IpServices() {
    refusing.answer("GET", "/", FakeAnswer{500, "IP: 192.0.2.66", "text/plain", {}});
    echo.answer_json("GET", "/ip", {{"origin", " 192.0.2.7 "}});
  }
  std::vector<PublicIpSource> sources(bool echo_answers) const {
    return {{refusing.base_url() + "/", PublicIpParser::line_format},
            {"http://127.0.0.1:" + std::to_string(silent.port()) + "/", PublicIpParser::dotted_quad},
            {echo.base_url() + (echo_answers ? "/ip" : "/missing"), PublicIpParser::json_origin}};
  }
};

constexpr std::chrono::milliseconds kShortTimeout{400};

TEST(WhitelistEditor, AddsThePublicAddressFromTheFirstSourceThatAnswers) {
  IpServices services;
  WhitelistEditDialog editor("42", "1.1.1.1", nullptr, services.sources(true), kShortTimeout);
  EXPECT_EQ(editor.windowTitle(), QStringLiteral("修改白名单"));
  EXPECT_EQ(editor.minimumSize(), QSize(420, 340));
  EXPECT_EQ(editor.maximumSize(), QSize(420, 340));
  EXPECT_EQ(editor.text_edit->placeholderText(), QStringLiteral("每行输入一个 IP 地址"));
  EXPECT_EQ(editor.btn_add_ip->objectName(), QStringLiteral("addIpBtn"));
  editor.show();
  editor.btn_add_ip->click();
  EXPECT_EQ(editor.text_edit->toPlainText(), QStringLiteral("1.1.1.1\n192.0.2.7"));
  editor.btn_add_ip->click();
  EXPECT_EQ(editor.text_edit->toPlainText(), QStringLiteral("1.1.1.1\n192.0.2.7\n192.0.2.7"));
  EXPECT_TRUE(editor.btn_add_ip->isEnabled());
  EXPECT_EQ(editor.btn_add_ip->text(), QStringLiteral("添加本机IP"));

  WhitelistEditDialog empty("42", "", nullptr, services.sources(true), kShortTimeout);
  empty.btn_add_ip->click();
  EXPECT_EQ(empty.get_ip_text(), QStringLiteral("192.0.2.7"));
}

TEST(WhitelistEditor, WarnsWhenNoSourceAnswers) {
  IpServices services;
  WhitelistEditDialog editor("42", "1.1.1.1", nullptr, services.sources(false), kShortTimeout);
  editor.show();
  QString title;
  QString text;
  QString busy_text;
  bool busy_enabled = true;
  auto watcher = ModalWatcher::on<QMessageBox>([&](QMessageBox* box) {
    title = box->windowTitle();
    text = box->text();
    busy_text = editor.btn_add_ip->text();
    busy_enabled = editor.btn_add_ip->isEnabled();
    box->accept();
  });
  editor.btn_add_ip->click();
  EXPECT_EQ(watcher->handled(), 1);
  EXPECT_EQ(title, QStringLiteral("获取失败"));
  EXPECT_EQ(text, QStringLiteral("未能获取到有效的 IP 地址，请检查网络后重试。"));
  EXPECT_EQ(busy_text, QStringLiteral("获取中..."));
  EXPECT_FALSE(busy_enabled);
  EXPECT_EQ(editor.text_edit->toPlainText(), QStringLiteral("1.1.1.1"));
  EXPECT_TRUE(editor.btn_add_ip->isEnabled());
  EXPECT_EQ(editor.btn_add_ip->text(), QStringLiteral("添加本机IP"));
}

}  // namespace
}  // namespace tovix::testing
