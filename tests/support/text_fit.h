#pragma once
// Render checks for text a window cuts off. Each returns one line per widget at fault (empty when
// all is well), so a test can EXPECT_THAT(..., IsEmpty()) and read what failed.
#include <string>
#include <vector>

class QWidget;

namespace tovix::testing {

// Visible buttons (push buttons, check boxes, radio buttons) under `root`, root included, whose
// text is wider than the room their style leaves it inside their padding and border.
std::vector<std::string> buttons_cut_off(const QWidget& root);

// Visible labels under `root` whose size hint is larger than their size (a pixel or two of
// style-sheet padding may go).
std::vector<std::string> labels_cut_off(const QWidget& root);

}  // namespace tovix::testing
