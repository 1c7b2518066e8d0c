// How the front door joins the areas: the callbacks through which a lower
// layer reaches a higher one (the detection engine the fleet report and the
// tray, the protection engine the uninstaller and the tray). Every run of
// the program installs them before it does any work.
#pragma once

#include "detect/scan_win32.h"
#include "engine/engine_win32.h"

// The detection sink of the shipped program: the fleet detection report and
// the tray's detection notice.
DetectSink wiring_detect_sink();
// Installs wiring_detect_sink() as g_detect_sink. Call before any scan.
void wiring_install();
// engine_defaults() for the role, with the hooks from above the engine: the
// uninstaller and the tray's notices.
EngineConfig wiring_engine_config(bool tray_role);
