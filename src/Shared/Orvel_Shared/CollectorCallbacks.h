#pragma once

#include <functional>
#include <string>

// Delivers one log message; ToSysLog asks for a copy in the event log as an
// error event. Handlers may be called from any thread the collector runs on.
using TDataCollectorOnLog = std::function<void(const std::string& Msg, bool ToSysLog)>;

// The collector has launched an updater (Uninstall false) or the uninstaller
// (Uninstall true); the host should stop driving it.
using TDataCollectorOnUpdating = std::function<void(bool Uninstall)>;
