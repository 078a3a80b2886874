#pragma once
// The window's look: the dark palette the dialogs use, one style sheet for the whole window.

namespace tovix::app {

inline constexpr const char* WINDOW_STYLE = R"(
QWidget { background-color: #1e1e2e; color: #cdd6f4; font-size: 13px; }
QTabWidget::pane { border: 1px solid #313244; border-radius: 6px; top: -1px; }
QTabBar::tab { background-color: #181825; color: #a6adc8; padding: 8px 18px; border: 1px solid #313244;
               border-bottom: none; border-top-left-radius: 6px; border-top-right-radius: 6px; margin-right: 2px; }
QTabBar::tab:selected { background-color: #313244; color: #cdd6f4; }
QGroupBox { border: 1px solid #313244; border-radius: 6px; margin-top: 14px; padding: 10px 8px 8px 8px; }
QGroupBox::title { subcontrol-origin: margin; left: 10px; padding: 0 4px; color: #89b4fa; font-weight: bold; }
QLineEdit, QSpinBox, QComboBox { background-color: #313244; color: #cdd6f4; border: 1px solid #45475a;
                                 border-radius: 4px; padding: 5px 8px; }
QLineEdit:focus, QSpinBox:focus, QComboBox:focus { border: 1px solid #89b4fa; }
QComboBox QAbstractItemView { background-color: #313244; color: #cdd6f4; selection-background-color: #45475a; }
QPushButton { background-color: #313244; color: #cdd6f4; padding: 6px 16px; border-radius: 4px; }
QPushButton:hover { background-color: #45475a; }
QPushButton:disabled { color: #6c7086; }
QPushButton#primary { background-color: #1e66f5; color: #ffffff; font-weight: bold; padding: 8px 24px; }
QPushButton#primary:hover { background-color: #2a7aff; }
QPushButton#danger { background-color: #e64553; color: #ffffff; font-weight: bold; padding: 8px 24px; }
QPushButton#danger:hover { background-color: #f05a67; }
QTableWidget, QListWidget { background-color: #1e1e2e; alternate-background-color: #242438; color: #cdd6f4;
                            gridline-color: #313244; border: 1px solid #313244; }
QTableWidget::item, QListWidget::item { padding: 4px 8px; }
QTableWidget::item:selected, QListWidget::item:selected { background-color: #45475a; }
QHeaderView::section { background-color: #313244; color: #cdd6f4; padding: 6px 10px; border: none;
                       border-right: 1px solid #45475a; font-weight: bold; }
QCheckBox::indicator { width: 16px; height: 16px; }
QLabel#heading { font-size: 17px; font-weight: bold; color: #89b4fa; }
QLabel#hint { color: #a6adc8; font-size: 12px; }
QLabel#traffic { color: #cdd6f4; font-size: 13px; font-weight: bold; }
)";

}  // namespace tovix::app
