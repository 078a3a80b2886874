// The two table layouts of the products dialog and their rows.
#include <QHeaderView>
#include <QStringList>
#include <QTableWidget>

#include "ui/plan_dialog/plan_dialog.h"
#include "ui/plan_dialog/product_cells.h"
#include "ui/result_values.h"

namespace tovix {
namespace {

using ui::display_text;

void set_headers(QTableWidget* table, const QStringList& headers) {
  table->setColumnCount(static_cast<int>(headers.size()));
  table->setHorizontalHeaderLabels(headers);
}

void fix_width(QHeaderView* header, int column, int width) {
  header->setSectionResizeMode(column, QHeaderView::Fixed);
  header->resizeSection(column, width);
}

QString joined(const Json& product, const char* first, const char* separator, const char* second) {
  return display_text(product, first) + QString::fromUtf8(separator) + display_text(product, second);
}

QString due_of(const Json& product) { return due_text(product.value("due_time", Json())); }

}  // namespace

void PlanDialog::_setup_long_term_columns() {
  set_headers(table, {QString(), QStringLiteral("商品名称"), QStringLiteral("账号/密码"), QStringLiteral("IP/端口"),
                      QStringLiteral("到期时间"), QStringLiteral("导入")});
  QHeaderView* header = table->horizontalHeader();
  table->setColumnWidth(COL_CHECK, 36);
  for (int column : {1, 2, 3}) header->setSectionResizeMode(column, QHeaderView::Stretch);
  fix_width(header, 4, 150);
  fix_width(header, 5, 60);
}

void PlanDialog::_setup_short_term_columns() {
  set_headers(table, {QStringLiteral("套餐账密"), QStringLiteral("商品名称/标识"), QStringLiteral("剩余量"),
                      QStringLiteral("到期时间"), QStringLiteral("白名单"), QStringLiteral("生成API")});
  QHeaderView* header = table->horizontalHeader();
  for (int column : {0, 1}) header->setSectionResizeMode(column, QHeaderView::Stretch);
  fix_width(header, 2, 100);
  fix_width(header, 3, 150);
  fix_width(header, 4, 80);
  fix_width(header, 5, 80);
}

void PlanDialog::_populate_long_term(const std::vector<nlohmann::ordered_json>& products) {
  table->setRowCount(static_cast<int>(products.size()));
  for (int row = 0; row < table->rowCount(); ++row) {
    const Json& product = products[static_cast<std::size_t>(row)];
    table->setItem(row, COL_CHECK, check_cell());
    table->setItem(row, 1, text_cell(joined(product, "product_name", " ", "name")));
    table->setItem(row, 2, text_cell(joined(product, "user_name", "/", "password")));
    table->setItem(row, 3, text_cell(display_text(product, "ip_first")));
    table->setItem(row, 4, text_cell(due_of(product)));
    table->setItem(row, 5, action_cell(QStringLiteral("导入"), QStringLiteral("点击导入此代理配置")));
  }
}

void PlanDialog::_populate_short_term(const std::vector<nlohmann::ordered_json>& products) {
  table->setRowCount(static_cast<int>(products.size()));
  for (int row = 0; row < table->rowCount(); ++row) {
    const Json& product = products[static_cast<std::size_t>(row)];
    table->setItem(row, 0, text_cell(joined(product, "pur_auth_user", "/", "pur_auth_passwd")));
    const QString name = joined(product, "product_name", " ", "name");
    QTableWidgetItem* name_cell = text_cell(name);
    name_cell->setToolTip(name);
    table->setItem(row, 1, name_cell);
    table->setItem(row, 2, text_cell(display_text(product, "ip_count_surplus")));
    table->setItem(row, 3, text_cell(due_of(product)));
    table->setItem(row, 4, action_cell(QStringLiteral("修改"), QStringLiteral("点击修改白名单IP")));
    table->setItem(row, 5, action_cell(QStringLiteral("生成API"), QStringLiteral("点击查看API提取链接")));
  }
}

}  // namespace tovix
