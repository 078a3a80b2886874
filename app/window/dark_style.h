#pragma once
// The window's look: the dark palette the dialogs use, one style sheet for the whole window.
// Once a combo box's drop-down or a spin box's buttons are styled, Qt draws no arrow of its own:
// the arrows (and the check mark) are images in the window's resources (images/).

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
QLineEdit:disabled, QSpinBox:disabled, QComboBox:disabled { color: #6c7086; background-color: #262637; }
QComboBox { padding-right: 28px; combobox-popup: 0; }
QComboBox::drop-down { subcontrol-origin: padding; subcontrol-position: center right; width: 24px;
                       border: none; border-left: 1px solid #45475a; }
QComboBox::down-arrow { image: url(:/window/arrow_down.xpm); width: 11px; height: 6px; }
QComboBox::down-arrow:on { image: url(:/window/arrow_up.xpm); }
QComboBox::down-arrow:disabled { image: url(:/window/arrow_down_disabled.xpm); }
QComboBox QAbstractItemView { background-color: #313244; color: #cdd6f4; border: 1px solid #45475a; outline: none;
                              selection-background-color: #45475a; selection-color: #cdd6f4; padding: 2px; }
QComboBox QAbstractItemView::item { min-height: 26px; padding: 0 8px; }
QSpinBox { padding-right: 28px; }
QSpinBox::up-button, QSpinBox::down-button { subcontrol-origin: border; width: 22px; border-left: 1px solid #45475a; }
QSpinBox::up-button { subcontrol-position: top right; border-bottom: 1px solid #45475a; border-top-right-radius: 4px; }
QSpinBox::down-button { subcontrol-position: bottom right; border-bottom-right-radius: 4px; }
QSpinBox::up-button:hover, QSpinBox::down-button:hover { background-color: #45475a; }
QSpinBox::up-arrow { image: url(:/window/arrow_up.xpm); width: 9px; height: 5px; }
QSpinBox::down-arrow { image: url(:/window/arrow_down.xpm); width: 9px; height: 5px; }
QSpinBox::up-arrow:disabled, QSpinBox::up-arrow:off { image: url(:/window/arrow_up_disabled.xpm); }
QSpinBox::down-arrow:disabled, QSpinBox::down-arrow:off { image: url(:/window/arrow_down_disabled.xpm); }
QScrollBar:vertical { background-color: #181825; width: 12px; margin: 0; }
QScrollBar:horizontal { background-color: #181825; height: 12px; margin: 0; }
QScrollBar::handle { background-color: #45475a; border-radius: 5px; min-height: 24px; min-width: 24px; margin: 2px; }
QScrollBar::handle:hover { background-color: #585b70; }
QScrollBar::add-line, QScrollBar::sub-line { width: 0; height: 0; border: none; background: none; }
QScrollBar::add-page, QScrollBar::sub-page { background: none; }
QAbstractScrollArea::corner { background-color: #181825; }
QDialogButtonBox { dialogbuttonbox-buttons-have-icons: 0; }
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
QCheckBox::indicator { width: 16px; height: 16px; border: 1px solid #6c7086; border-radius: 3px;
                      background-color: #313244; }
QCheckBox::indicator:hover { border-color: #89b4fa; }
QCheckBox::indicator:checked { background-color: #1e66f5; border-color: #1e66f5; image: url(:/window/check.xpm); }
QLabel#heading { font-size: 17px; font-weight: bold; color: #89b4fa; }
QLabel#hint { color: #a6adc8; font-size: 12px; }
QLabel#traffic { color: #cdd6f4; font-size: 13px; font-weight: bold; }
)";

}  // namespace tovix::app
