#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStringList>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "tests/ui/plan_dialog/dialog_fixture.h"
#include "ui/plan_dialog/api_link_dialog.h"

namespace tovix::testing {
namespace {

const QString kQuery = QStringLiteral("?api_key=K1&pack_mark=M1&count=1&return_type=txt&sep=1&auth_type=ip");

struct LinkCase {
  const char* name;
  friend void PrintTo(const LinkCase& c, std::ostream* out) { *out << c.name; }
  QString api_url;
  QString api_key;
  QString expected;
};

class LinkAssembly : public ::testing::TestWithParam<LinkCase> {};

TEST_P(LinkAssembly, BuildsTheLinkFromTheStartChoices) {
  const LinkCase& c = GetParam();
  ApiLinkDialog dialog(c.api_url, c.api_key, QStringLiteral("M1"));
  EXPECT_EQ(dialog._build_url(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Examples, LinkAssembly,
                         ::testing::Values(LinkCase{"blanks_no_scheme_trailing_slash", " 10.0.0.1:8080/ ", "K1",
                                                    "http://10.0.0.1:8080/api/get_proxy" + kQuery},
                                           LinkCase{"several_trailing_slashes", "h.example//", "K1",
                                                    "http://h.example/api/get_proxy" + kQuery},
                                           LinkCase{"path_already_there", " http://h.example/api/get_proxy ", "K1",
                                                    "http://h.example/api/get_proxy" + kQuery},
                                           LinkCase{"existing_query_kept", "h.example/api/get_proxy?x=1", "K1",
                                                    "http://h.example/api/get_proxy?x=1" + kQuery},
                                           LinkCase{"https_kept", "https://h.example/", "K1",
                                                    "https://h.example/api/get_proxy" + kQuery},
                                           LinkCase{"no_key", "h.example", "", ""},
                                           LinkCase{"blank_url", "   ", "K1", ""}, LinkCase{"no_url", "", "K1", ""}),
                         [](const ::testing::TestParamInfo<LinkCase>& info) { return std::string(info.param.name); });

TEST(ApiLinkDialog, UserAuthCountAndHourlyDeduplication) {
  ApiLinkDialog dialog(QStringLiteral("h.example"), QStringLiteral("K1"), QStringLiteral("M1"));
  dialog.combo_auth->setCurrentIndex(1);
  dialog.spin_count->setValue(20);
  EXPECT_FALSE(dialog.spin_unique->isEnabled());
  dialog.combo_unique->setCurrentIndex(1);
  EXPECT_TRUE(dialog.spin_unique->isEnabled());
  dialog.spin_unique->setValue(24);
  EXPECT_EQ(dialog._build_url(), QStringLiteral("http://h.example/api/get_proxy?api_key=K1&pack_mark=M1&count=20&"
                                                "return_type=txt&sep=1&auth_type=user&unique=24"));
  dialog.combo_unique->setCurrentIndex(0);
  EXPECT_FALSE(dialog.spin_unique->isEnabled());
  EXPECT_FALSE(dialog._build_url().contains(QStringLiteral("unique="))) << dialog._build_url().toStdString();
}

TEST(ApiLinkDialog, WidgetsStartAsChosenAndSpinBoxesStayInRange) {
  ApiLinkDialog dialog(QStringLiteral("h"), QStringLiteral("k"), QStringLiteral("m"));
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("API 生成"));
  EXPECT_EQ(dialog.minimumSize(), QSize(400, 290));
  EXPECT_EQ(dialog.maximumSize(), QSize(400, 290));
  const auto items = [](const QComboBox* combo) {
    QStringList texts;
    for (int i = 0; i < combo->count(); ++i) texts << combo->itemText(i);
    return texts;
  };
  EXPECT_EQ(items(dialog.combo_isp), QStringList({"不限", "电信(ct)", "移动(cm)", "联通(cu)"}));
  EXPECT_EQ(items(dialog.combo_auth), QStringList({"白名单认证(ip)", "账密认证(user)"}));
  EXPECT_EQ(items(dialog.combo_unique), QStringList({"智能去重", "按时去重"}));
  for (const QComboBox* combo : {dialog.combo_isp, dialog.combo_auth, dialog.combo_unique}) {
    EXPECT_EQ(combo->currentIndex(), 0);
  }
  dialog.show();
  EXPECT_FALSE(dialog.combo_isp->isVisible());
  for (const QLabel* label : dialog.findChildren<QLabel*>()) {
    EXPECT_EQ(label->isVisible(), label->text() != QStringLiteral("运营商：")) << label->text().toStdString();
  }
  EXPECT_EQ(dialog.spin_count->toolTip(), QStringLiteral("输入 1-200 之间的数值"));
  EXPECT_EQ(dialog.spin_unique->toolTip(), QStringLiteral("按时去重的小时数，1-999"));
  EXPECT_EQ(dialog.spin_count->findChild<QLineEdit*>()->placeholderText(), QStringLiteral("可填1-200个"));

  struct Limit {
    QSpinBox* spin;
    int low;
    int high;
  };
  for (const Limit& limit : {Limit{dialog.spin_count, 1, 200}, Limit{dialog.spin_unique, 1, 999}}) {
    EXPECT_EQ(limit.spin->value(), 1);
    limit.spin->setValue(limit.low - 1);
    EXPECT_EQ(limit.spin->value(), limit.low);
    limit.spin->setValue(limit.high + 1);
    EXPECT_EQ(limit.spin->value(), limit.high);
  }
}

struct FillCase {
  const char* name;
  friend void PrintTo(const FillCase& c, std::ostream* out) { *out << c.name; }
  int auth_index;
  QString user;
  QString pass;
  bool credentials_sent;
};

class LinkFill : public ::testing::TestWithParam<FillCase> {};

TEST_P(LinkFill, EmitsTheLinkThenCredentialsOnlyForUserAuthWithBoth) {
  const FillCase& c = GetParam();
  ApiLinkDialog dialog(QStringLiteral("h.example"), QStringLiteral("K1"), QStringLiteral("M1"), nullptr, c.user,
                       c.pass);
  QStringList order;
  QObject::connect(&dialog, &ApiLinkDialog::api_url_filled, [&](const QString& url) { order << "url:" + url; });
  QObject::connect(&dialog, &ApiLinkDialog::cred_filled, [&](const QString& url, const QString& u, const QString& p) {
    order << "cred:" + url + "|" + u + "|" + p;
  });
  dialog.combo_auth->setCurrentIndex(c.auth_index);
  dialog.show();
  const QString url = dialog._build_url();
  dialog._on_fill_url();
  QStringList expected = {"url:" + url};
  if (c.credentials_sent) expected << "cred:" + url + "|" + c.user + "|" + c.pass;
  EXPECT_EQ(order, expected);
  EXPECT_FALSE(dialog.isVisible());
}

INSTANTIATE_TEST_SUITE_P(Modes, LinkFill,
                         ::testing::Values(FillCase{"whitelist_auth", 0, "u1", "p1", false},
                                           FillCase{"user_auth", 1, "u1", "p1", true},
                                           FillCase{"user_auth_no_password", 1, "u1", "", false}),
                         [](const ::testing::TestParamInfo<FillCase>& info) { return std::string(info.param.name); });

TEST(ApiLinkDialog, WithoutAKeyFillDoesNothingAndStaysOpen) {
  ApiLinkDialog dialog(QStringLiteral("h.example"), QString(), QStringLiteral("M1"), nullptr, "u", "p");
  QSignalSpy urls(&dialog, &ApiLinkDialog::api_url_filled);
  QSignalSpy creds(&dialog, &ApiLinkDialog::cred_filled);
  dialog.show();
  dialog._on_fill_url();
  EXPECT_EQ(urls.count(), 0);
  EXPECT_EQ(creds.count(), 0);
  EXPECT_TRUE(dialog.isVisible());
}

}  // namespace
}  // namespace tovix::testing
