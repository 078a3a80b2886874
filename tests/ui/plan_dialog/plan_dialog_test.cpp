#include <QComboBox>
#include <QFont>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "tests/ui/plan_dialog/dialog_fixture.h"
#include "ui/plan_dialog/api_link_dialog.h"
#include "ui/plan_dialog/plan_dialog.h"
#include "ui/plan_dialog/product_cells.h"

namespace tovix::testing {
namespace {

using nlohmann::ordered_json;

const char* const kLongTermPath = "/console/v1/tv_proxy_domestic/host";
const char* const kShortTermPath = "/console/v1/tv_proxy_ip/host";

QStringList headers(const QTableWidget* table) {
  QStringList texts;
  for (int column = 0; column < table->columnCount(); ++column) texts << table->horizontalHeaderItem(column)->text();
  return texts;
}

QString cell(const QTableWidget* table, int row, int column) { return table->item(row, column)->text(); }

// Sets the zone of local time for one test; "CST-8" is POSIX for UTC+8 without a zone database.
class LocalZone {
 public:
  explicit LocalZone(const char* zone) : _previous(qgetenv("TZ")), _had(qEnvironmentVariableIsSet("TZ")) {
    qputenv("TZ", zone);
    tzset();
  }
  ~LocalZone() {
    if (_had) {
      qputenv("TZ", _previous);
    } else {
      qunsetenv("TZ");
    }
    tzset();
  }

 private:
  QByteArray _previous;
  bool _had;
};

struct LayoutCase {
  const char* name;
  friend void PrintTo(const LayoutCase& c, std::ostream* out) { *out << c.name; }
  std::optional<QString> module;
  QString title;
  QStringList headers;
  bool long_term;
};

class PlanLayout : public DialogTest, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(PlanLayout, TitleHeadersAndControls) {
  const LayoutCase& c = GetParam();
  console.answer_json("GET", kLongTermPath, listing(ordered_json::array()));
  console.answer_json("GET", kShortTermPath, listing(ordered_json::array()));
  PlanDialog dialog(nullptr, c.module);
  EXPECT_EQ(dialog.windowTitle(), c.title);
  EXPECT_EQ(dialog.minimumSize(), QSize(820, 500));
  const Qt::WindowFlags flags = dialog.windowFlags();
  EXPECT_EQ(flags & Qt::WindowType_Mask, Qt::Dialog);
  EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint) && flags.testFlag(Qt::WindowTitleHint));
  for (Qt::WindowType hint :
       {Qt::WindowMinimizeButtonHint, Qt::WindowMaximizeButtonHint, Qt::WindowContextHelpButtonHint}) {
    EXPECT_FALSE(flags.testFlag(hint)) << hint;
  }
  bool header_found = false;
  for (const QLabel* label : dialog.findChildren<QLabel*>()) {
    header_found |= label->text() == c.title + QStringLiteral(" — 已开通产品（使用中）");
  }
  EXPECT_TRUE(header_found);
  EXPECT_EQ(headers(dialog.table), c.headers);
  EXPECT_EQ(dialog._is_long_term, c.long_term);
  EXPECT_EQ(dialog.COL_CHECK, c.long_term ? 0 : -1);
  EXPECT_FALSE(dialog.table->verticalHeader()->isVisible());
  EXPECT_EQ(dialog.table->editTriggers(), QAbstractItemView::NoEditTriggers);
  EXPECT_EQ(dialog.table->selectionBehavior(), QAbstractItemView::SelectRows);

  QStringList buttons;
  for (const QPushButton* button : dialog.findChildren<QPushButton*>()) buttons << button->text();
  buttons.sort();
  QStringList expected_buttons = {"关闭"};
  if (c.long_term)
    expected_buttons << "全选"
                     << "取消全选"
                     << "批量导入选中";
  expected_buttons.sort();
  EXPECT_EQ(buttons, expected_buttons);
  EXPECT_EQ(dialog.btn_select_all != nullptr, c.long_term);
  EXPECT_TRUE(wait_until([&] { return dialog._worker.isNull(); }));
}

INSTANTIATE_TEST_SUITE_P(
    Modules, PlanLayout,
    ::testing::Values(LayoutCase{"long_term",
                                 QStringLiteral("tv_proxy_domestic"),
                                 "国内长效代理",
                                 {"", "商品名称", "账号/密码", "IP/端口", "到期时间", "导入"},
                                 true},
                      LayoutCase{"short_term",
                                 QStringLiteral("tv_proxy_ip"),
                                 "国内短效代理",
                                 {"套餐账密", "商品名称/标识", "剩余量", "到期时间", "白名单", "生成API"},
                                 false},
                      LayoutCase{"no_module",
                                 std::nullopt,
                                 "已开通产品",
                                 {"套餐账密", "商品名称/标识", "剩余量", "到期时间", "白名单", "生成API"},
                                 false}),
    [](const ::testing::TestParamInfo<LayoutCase>& info) { return std::string(info.param.name); });

TEST_F(DialogTest, ColumnWidthsOfBothLayouts) {
  console.answer_json("GET", kLongTermPath, listing(ordered_json::array()));
  console.answer_json("GET", kShortTermPath, listing(ordered_json::array()));
  PlanDialog long_term(nullptr, QStringLiteral("tv_proxy_domestic"));
  PlanDialog short_term(nullptr, QStringLiteral("tv_proxy_ip"));
  long_term.resize(900, 500);
  short_term.resize(900, 500);
  long_term.show();
  short_term.show();
  EXPECT_TRUE(wait_until([&] { return long_term._worker.isNull() && short_term._worker.isNull(); }));
  const QHeaderView* lh = long_term.table->horizontalHeader();
  EXPECT_EQ(lh->sectionSize(0), 36);
  for (int column : {1, 2, 3}) EXPECT_EQ(lh->sectionResizeMode(column), QHeaderView::Stretch) << column;
  EXPECT_EQ(lh->sectionResizeMode(4), QHeaderView::Fixed);
  EXPECT_EQ(lh->sectionSize(4), 150);
  EXPECT_EQ(lh->sectionResizeMode(5), QHeaderView::Fixed);
  EXPECT_EQ(lh->sectionSize(5), 60);

  const QHeaderView* sh = short_term.table->horizontalHeader();
  for (int column : {0, 1}) EXPECT_EQ(sh->sectionResizeMode(column), QHeaderView::Stretch) << column;
  const int widths[] = {0, 0, 100, 150, 80, 80};
  for (int column = 2; column < 6; ++column) {
    EXPECT_EQ(sh->sectionResizeMode(column), QHeaderView::Fixed) << column;
    EXPECT_EQ(sh->sectionSize(column), widths[column]) << column;
  }
}

struct FailureCase {
  const char* name;
  friend void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }
  std::optional<QString> module;
  ordered_json answer;  // of the long-term listing
  QString status;
};

class PlanLoadFailure : public DialogTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(PlanLoadFailure, ShowsTheReasonInTheErrorStyle) {
  const FailureCase& c = GetParam();
  console.answer_json("GET", kLongTermPath, c.answer);
  PlanDialog dialog(nullptr, c.module);
  ASSERT_TRUE(wait_until([&] { return dialog.label_status->text() != QStringLiteral("加载中..."); }));
  EXPECT_EQ(dialog.label_status->text(), c.status);
  EXPECT_EQ(dialog.label_status->styleSheet(), QStringLiteral("color: #e64553; font-size: 12px;"));
  EXPECT_EQ(dialog.table->rowCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlanLoadFailure,
    ::testing::Values(FailureCase{"no_module", std::nullopt, {}, "加载失败: 未知模块: "},
                      FailureCase{"unknown_module", QStringLiteral("tv_other"), {}, "加载失败: 未知模块: tv_other"},
                      FailureCase{"refused",
                                  QStringLiteral("tv_proxy_domestic"),
                                  {{"status", 401}, {"msg", "登录已过期"}},
                                  "加载失败: 登录已过期"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(DialogTest, SignedOutAsksNothing) {
  sign_out();
  PlanDialog dialog(nullptr, QStringLiteral("tv_proxy_domestic"));
  EXPECT_EQ(dialog.label_status->text(), QStringLiteral("未登录，请先登录"));
  EXPECT_EQ(dialog.label_status->styleSheet(), QStringLiteral("color: #e64553; font-size: 12px;"));
  EXPECT_TRUE(dialog._worker.isNull());
  EXPECT_EQ(console.request_count(), 0u);
}

ordered_json long_term_item(const std::string& n, const std::string& status, const ordered_json& due) {
  return {{"id", n},
          {"product_name", "长效"},
          {"name", "P" + n},
          {"user_name", "u" + n},
          {"password", "p" + n},
          {"ip_first", "10.0.0." + n + ":80" + n},
          {"due_time", due},
          {"status", status}};
}

class LongTermRows : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    console.answer_json("GET", kLongTermPath,
                        listing({long_term_item("1", "Active", 1700000000), long_term_item("2", "Expired", 0),
                                 long_term_item("3", "Active", 0), long_term_item("4", "Active", 1700003600)}));
    dialog = std::make_unique<PlanDialog>(nullptr, QStringLiteral("tv_proxy_domestic"));
    ASSERT_TRUE(wait_until([&] { return dialog->table->rowCount() == 3; }));
  }
  LocalZone zone{"CST-8"};
  std::unique_ptr<PlanDialog> dialog;
};

TEST_F(LongTermRows, OnlyActiveProductsInRowOrder) {
  QTableWidget* table = dialog->table;
  EXPECT_EQ(dialog->label_status->text(), QStringLiteral("共 3 个产品（使用中）"));
  EXPECT_EQ(dialog->label_status->styleSheet(), QStringLiteral("color: #a6adc8; font-size: 12px;"));
  ASSERT_EQ(dialog->_products.size(), 3u);
  const char* ids[] = {"1", "3", "4"};
  for (int row = 0; row < 3; ++row) {
    const std::string n = ids[row];
    EXPECT_EQ(dialog->_products[static_cast<std::size_t>(row)]["id"], n);
    EXPECT_EQ(cell(table, row, 1).toStdString(), "长效 P" + n);
    EXPECT_EQ(cell(table, row, 2).toStdString(), "u" + n + "/p" + n);
    EXPECT_EQ(cell(table, row, 3).toStdString(), "10.0.0." + n + ":80" + n);
    EXPECT_EQ(cell(table, row, 5), QStringLiteral("导入"));
  }
  EXPECT_EQ(cell(table, 0, 4), QStringLiteral("2023-11-15 06:13"));
  EXPECT_EQ(cell(table, 1, 4), QString());
  EXPECT_EQ(cell(table, 2, 4), QStringLiteral("2023-11-15 07:13"));

  const QTableWidgetItem* check = table->item(0, 0);
  EXPECT_EQ(check->text(), QString());
  EXPECT_EQ(check->flags(), Qt::ItemIsUserCheckable | Qt::ItemIsEnabled);
  EXPECT_EQ(check->checkState(), Qt::Unchecked);
  const QTableWidgetItem* import = table->item(0, 5);
  EXPECT_EQ(import->foreground().color(), QColor("#89b4fa"));
  EXPECT_TRUE(import->font().underline());
  EXPECT_EQ(import->textAlignment(), int(Qt::AlignCenter));
  EXPECT_EQ(import->toolTip(), QStringLiteral("点击导入此代理配置"));
  EXPECT_EQ(table->item(0, 1)->foreground().color(), QColor("#cdd6f4"));
}

TEST_F(LongTermRows, ClickOnImportEmitsOneProxyOtherColumnsNothing) {
  QSignalSpy imports(dialog.get(), &PlanDialog::long_term_import);
  dialog->resize(900, 500);
  dialog->show();
  QTableWidget* table = dialog->table;
  const auto click = [&](int row, int column) {
    const QRect rect = table->visualItemRect(table->item(row, column));
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, rect.center());
  };
  click(1, 3);
  click(1, 0);
  EXPECT_EQ(imports.count(), 0);
  EXPECT_EQ(table->item(1, 0)->checkState(), Qt::Checked) << "the check box toggles by itself";
  click(1, 5);
  ASSERT_EQ(imports.count(), 1);
  EXPECT_EQ(imports[0], QVariantList({"10.0.0.3:803", "u3", "p3"}));
  EXPECT_EQ(dialog->label_status->text(), QStringLiteral("已导入 1 个代理"));
  EXPECT_EQ(dialog->label_status->styleSheet(), QStringLiteral("color: #40a02b; font-size: 12px;"));
  dialog->_on_cell_clicked(3, 5);
  dialog->_on_cell_clicked(-1, 5);
  EXPECT_EQ(imports.count(), 1);
}

TEST_F(LongTermRows, BatchImportOfTickedRows) {
  QList<QList<ProxyTriple>> batches;
  QObject::connect(dialog.get(), &PlanDialog::batch_long_term_import,
                   [&](const QList<ProxyTriple>& proxies) { batches << proxies; });
  dialog->_batch_import();
  EXPECT_TRUE(batches.isEmpty());
  EXPECT_EQ(dialog->label_status->text(), QStringLiteral("请先勾选要导入的产品"));
  EXPECT_EQ(dialog->label_status->styleSheet(), QStringLiteral("color: #e64553; font-size: 12px;"));

  dialog->table->item(0, 0)->setCheckState(Qt::Checked);
  dialog->table->item(2, 0)->setCheckState(Qt::Checked);
  dialog->btn_batch_import->click();
  ASSERT_EQ(batches.size(), 1);
  EXPECT_EQ(batches[0], QList<ProxyTriple>({{"10.0.0.1:801", "u1", "p1"}, {"10.0.0.4:804", "u4", "p4"}}));
  EXPECT_EQ(dialog->label_status->text(), QStringLiteral("已批量导入 2 个代理"));
  EXPECT_EQ(dialog->label_status->styleSheet(), QStringLiteral("color: #40a02b; font-size: 12px;"));

  dialog->btn_select_all->click();
  dialog->btn_batch_import->click();
  ASSERT_EQ(batches.size(), 2);
  EXPECT_EQ(batches[1].size(), 3);
  EXPECT_EQ(dialog->label_status->text(), QStringLiteral("已批量导入 3 个代理"));

  dialog->btn_deselect_all->click();
  dialog->btn_batch_import->click();
  EXPECT_EQ(batches.size(), 2);
}

TEST(DueText, EmptyForZeroLocalTimeOtherwise) {
  struct Case {
    const char* zone;
    ordered_json due;
    QString text;
  };
  const Case cases[] = {{"CST-8", 0, ""},
                        {"CST-8", nullptr, ""},
                        {"CST-8", "0", ""},
                        {"CST-8", 1700000000, "2023-11-15 06:13"},
                        {"CST-8", "1700000000", "2023-11-15 06:13"},
                        {"EST5", 1700000000, "2023-11-14 17:13"},
                        {"UTC0", 1700000000.0, "2023-11-14 22:13"},
                        {"UTC0", "soon", "soon"}};
  for (const Case& c : cases) {
    LocalZone zone(c.zone);
    EXPECT_EQ(due_text(c.due), c.text) << c.zone << " " << c.due.dump();
  }
}

ordered_json short_term_item(const std::string& n, const std::string& api_key) {
  return {{"id", n},
          {"product_name", "短效"},
          {"name", "S" + n},
          {"pur_auth_user", "pu" + n},
          {"pur_auth_passwd", "pp" + n},
          {"api_key", api_key},
          {"api_url", " 10.1.1.1:9000/ "},
          {"pack_mark", "mark" + n},
          {"ip_count_surplus", 0},
          {"due_time", 0},
          {"status", "Active"}};
}

class ShortTermRows : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    console.answer_json("GET", kShortTermPath, listing({short_term_item("7", "KEY7"), short_term_item("8", "")}));
    dialog = std::make_unique<PlanDialog>(nullptr, QStringLiteral("tv_proxy_ip"));
    ASSERT_TRUE(wait_until([&] { return dialog->table->rowCount() == 2; }));
  }
  std::unique_ptr<PlanDialog> dialog;
};

TEST_F(ShortTermRows, CellsOfAPackage) {
  QTableWidget* table = dialog->table;
  EXPECT_EQ(cell(table, 0, 0), QStringLiteral("pu7/pp7"));
  EXPECT_EQ(cell(table, 0, 1), QStringLiteral("短效 S7"));
  EXPECT_EQ(table->item(0, 1)->toolTip(), QStringLiteral("短效 S7"));
  EXPECT_EQ(cell(table, 0, 2), QStringLiteral("0"));
  EXPECT_EQ(cell(table, 0, 3), QString());
  EXPECT_EQ(cell(table, 0, 4), QStringLiteral("修改"));
  EXPECT_EQ(table->item(0, 4)->toolTip(), QStringLiteral("点击修改白名单IP"));
  EXPECT_EQ(cell(table, 0, 5), QStringLiteral("生成API"));
  EXPECT_EQ(table->item(0, 5)->toolTip(), QStringLiteral("点击查看API提取链接"));
  EXPECT_TRUE(table->item(0, 5)->font().underline());
}

TEST_F(ShortTermRows, LinkBuilderHandsLinkThenCredentialsToTheOwner) {
  QStringList order;
  QObject::connect(dialog.get(), &PlanDialog::api_link_filled, [&](const QString& url) { order << url; });
  QObject::connect(
      dialog.get(), &PlanDialog::api_cred_filled,
      [&](const QString& url, const QString& user, const QString& pass) { order << url + "|" + user + "|" + pass; });
  QString seen_url;
  auto watcher = ModalWatcher::on<ApiLinkDialog>([&](ApiLinkDialog* links) {
    EXPECT_EQ(links->pur_user, QStringLiteral("pu7"));
    links->combo_auth->setCurrentIndex(1);
    seen_url = links->_build_url();
    links->_on_fill_url();
  });
  dialog->_on_cell_clicked(0, 5);
  EXPECT_EQ(watcher->handled(), 1);
  const QString url = QStringLiteral(
      "http://10.1.1.1:9000/api/get_proxy?api_key=KEY7&pack_mark=mark7&count=1&return_type=txt&sep=1&auth_type=user");
  EXPECT_EQ(seen_url, url);
  EXPECT_EQ(order, QStringList({url, url + "|pu7|pp7"}));
  EXPECT_EQ(dialog->label_status->text(), QStringLiteral("API链接已填入"));
  EXPECT_EQ(dialog->label_status->styleSheet(), QStringLiteral("color: #40a02b; font-size: 12px;"));
}

TEST_F(ShortTermRows, LinkBuilderWithoutKeyProducesNothing) {
  QSignalSpy links_filled(dialog.get(), &PlanDialog::api_link_filled);
  auto watcher = ModalWatcher::on<ApiLinkDialog>([&](ApiLinkDialog* links) {
    links->_on_fill_url();
    EXPECT_TRUE(links->isVisible());
    links->close();
  });
  dialog->_on_cell_clicked(1, 5);
  EXPECT_EQ(watcher->handled(), 1);
  EXPECT_EQ(links_filled.count(), 0);
  EXPECT_EQ(dialog->label_status->text(), QStringLiteral("共 2 个产品（使用中）"));
}

}  // namespace
}  // namespace tovix::testing
