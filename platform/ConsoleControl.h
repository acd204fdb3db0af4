#pragma once

namespace platform {

// Console control types as the updater knows them.
enum ConsoleControlType { kCtrlC = 0, kCtrlBreak = 1, kCtrlClose = 2 };

using ConsoleControlHandler = bool (*)(int type);

// Installs the process's console control handler (replacing an earlier one).
// SIGINT is type 0, SIGQUIT type 1, SIGHUP and SIGTERM type 2. The handler runs on
// a dedicated thread, never in signal context; when it returns false the
// signal's default action follows.
void setConsoleControlHandler(ConsoleControlHandler handler);

} // namespace platform
