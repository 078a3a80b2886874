#include "ui/plan_dialog/whitelist_text.h"

#include <QRegularExpression>
#include <QStringList>

namespace tovix {

QString whitelist_from_editor(const QString& text) {
  static const QRegularExpression line_break(QStringLiteral("[\\r\\n\\v\\f\\x{2028}\\x{2029}]"));
  QStringList lines;
  for (const QString& line : text.split(line_break)) {
    if (const QString address = line.trimmed(); !address.isEmpty()) lines << address;
  }
  return lines.join(QLatin1Char('\n'));
}

QString whitelist_from_console(const QString& stored) {
  return whitelist_from_editor(QString(stored).replace(QLatin1Char(','), QLatin1Char('\n')));
}

}  // namespace tovix
