#pragma once
// What the tray shows of the engine: an icon per state, drawn here so every size stays sharp,
// and the tooltip with the state, the totals and the current rates.
#include <QColor>
#include <QIcon>
#include <QString>

#include "app/core/traffic_meter.h"

namespace tovix::app {

// The engine's states, and error: the engine ended by itself, on an error.
enum class TrayState { stopped, starting, running, stopping, error };

// The colour of the state's dot in the icon's corner.
QColor tray_state_colour(TrayState state);
QIcon tray_icon(TrayState state);
QString tray_state_text(TrayState state);
// Three lines: the program and its state, then upload and download (total and rate).
QString tray_tooltip(TrayState state, const TrafficReading& reading);

}  // namespace tovix::app
