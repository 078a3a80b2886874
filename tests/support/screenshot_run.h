#pragma once
// The frame of the programs that render windows for a person to look at: the output folder
// from the command line, a check that network namespaces can be made, and the saving of a grab.
#include <filesystem>

class QWidget;

namespace tovix::testing {

// 0 with `out` made, or the exit code for main after saying why (usage, no namespaces).
int prepare_screenshot_run(int argc, char** argv, const char* program, std::filesystem::path& out);

// Saves what `widget` shows once its last repaint has landed, and says so on stdout.
void save_screenshot(QWidget& widget, const std::filesystem::path& file);

}  // namespace tovix::testing
