#include "tests/support/screenshot_run.h"

#include <QTest>
#include <QWidget>
#include <iostream>

#include "tests/support/netns_fixture.h"

namespace tovix::testing {

int prepare_screenshot_run(int argc, char** argv, const char* program, std::filesystem::path& out) {
  if (argc < 2) {
    std::cerr << "usage: " << program << " OUTPUT_DIR\n";
    return 2;
  }
  out = argv[1];
  std::filesystem::create_directories(out);
  if (const std::string reason = NetnsPair::unavailable_reason(); !reason.empty()) {
    std::cerr << reason << '\n';
    return 1;
  }
  return 0;
}

void save_screenshot(QWidget& widget, const std::filesystem::path& file) {
  QTest::qWait(300);  // these programs only take pictures: a pause for the repaint is enough
  widget.grab().save(QString::fromStdString(file.string()));
  std::cout << "saved " << file << std::endl;
}

}  // namespace tovix::testing
