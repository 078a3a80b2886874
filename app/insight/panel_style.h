#pragma once
// The dark style the panels share with the rest of the application.

namespace tovix::insight {

inline constexpr const char* PANEL_STYLE =
    "QWidget { background-color: #1e1e2e; color: #cdd6f4; font-size: 13px; }"
    "QTableView { background-color: #181825; border: 1px solid #45475a; border-radius: 4px;"
    " selection-background-color: #45475a; selection-color: #cdd6f4; }"
    "QHeaderView::section { background-color: #313244; color: #bac2de; border: none; padding: 4px; }"
    "QLineEdit, QComboBox { background-color: #313244; border: 1px solid #45475a; border-radius: 4px;"
    " padding: 3px 6px; }"
    "QPushButton { background-color: #45475a; color: #cdd6f4; border: none; border-radius: 4px;"
    " padding: 4px 12px; }"
    "QPushButton:hover { background-color: #585b70; }"
    "QPushButton:disabled { color: #6c7086; }";

// Colours of the two directions wherever they are drawn.
inline constexpr const char* UPLOAD_COLOR = "#a6e3a1";
inline constexpr const char* DOWNLOAD_COLOR = "#89b4fa";
inline constexpr const char* FAILURE_COLOR = "#f38ba8";

}  // namespace tovix::insight
