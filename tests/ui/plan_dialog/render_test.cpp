// Shows the dialogs in their main states and checks that every button shows its whole text;
// saves them as PNG files for a person to look at when TOVIX_RENDER_DIR names a folder.
#include <QComboBox>
#include <QTableWidget>
#include <QTextEdit>
#include <memory>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/text_fit.h"
#include "tests/ui/plan_dialog/dialog_fixture.h"
#include "ui/plan_dialog/api_link_dialog.h"
#include "ui/plan_dialog/plan_dialog.h"
#include "ui/plan_dialog/whitelist_edit_dialog.h"

namespace tovix::testing {
namespace {

using nlohmann::ordered_json;

class Render : public DialogTest {
 protected:
  void save(QWidget& widget, const QString& name) {
    widget.show();
    QApplication::processEvents();
    EXPECT_THAT(buttons_cut_off(widget), ::testing::IsEmpty()) << name.toStdString();
    const QString folder = qEnvironmentVariable("TOVIX_RENDER_DIR");
    if (!folder.isEmpty()) {
      ASSERT_TRUE(widget.grab().save(folder + "/" + name + ".png"));
    }
  }
};

TEST_F(Render, LongTermProducts) {
  ordered_json items = ordered_json::array();
  for (int i = 1; i <= 4; ++i) {
    items.push_back({{"product_name", "国内长效静态"},
                     {"name", "广东电信-" + std::to_string(i)},
                     {"user_name", "tvx8812" + std::to_string(i)},
                     {"password", "Kp7qZ2m" + std::to_string(i)},
                     {"ip_first", "113.98.21." + std::to_string(10 + i) + ":3028" + std::to_string(i)},
                     {"due_time", i == 3 ? 0 : 1767225600 + i * 86400},
                     {"status", "Active"}});
  }
  console.answer_json("GET", "/console/v1/tv_proxy_domestic/host", listing(items));
  PlanDialog dialog(nullptr, QStringLiteral("tv_proxy_domestic"));
  ASSERT_TRUE(wait_until([&] { return dialog.table->rowCount() == 4; }));
  dialog.table->item(1, 0)->setCheckState(Qt::Checked);
  dialog.resize(820, 500);
  save(dialog, "plan_long_term");
}

TEST_F(Render, ShortTermProducts) {
  ordered_json items = ordered_json::array();
  for (int i = 1; i <= 3; ++i) {
    items.push_back({{"id", 1000 + i},
                     {"product_name", "国内短效动态"},
                     {"name", "按量套餐" + std::to_string(i)},
                     {"pur_auth_user", "pk" + std::to_string(5550 + i)},
                     {"pur_auth_passwd", "w8x" + std::to_string(i)},
                     {"ip_count_surplus", 4980 * i},
                     {"due_time", 1767225600 + i * 3600},
                     {"status", "Active"}});
  }
  console.answer_json("GET", "/console/v1/tv_proxy_ip/host", listing(items));
  PlanDialog dialog(nullptr, QStringLiteral("tv_proxy_ip"));
  ASSERT_TRUE(wait_until([&] { return dialog.table->rowCount() == 3; }));
  dialog.resize(820, 500);
  save(dialog, "plan_short_term");
}

TEST_F(Render, LinkBuilderAndWhitelistEditor) {
  ApiLinkDialog links(QStringLiteral("10.1.1.1:9000"), QStringLiteral("key"), QStringLiteral("mark"));
  links.combo_unique->setCurrentIndex(1);
  save(links, "api_link");
  WhitelistEditDialog editor(QStringLiteral("1001"), QStringLiteral("203.0.113.5\n198.51.100.20"));
  save(editor, "whitelist_editor");
  WhitelistEditDialog empty(QStringLiteral("1002"), QString());
  save(empty, "whitelist_editor_empty");
}

}  // namespace
}  // namespace tovix::testing
