// The launcher's one way of reporting a problem: a modal "Resource Error" dialog, then the end of the
// process with status -1.
#pragma once

#include <windows.h>

#include <string>

// Returns only if `path` names an existing file or folder (relative to the current directory); otherwise
// shows "<path>  does not exist." and ends the process with status -1.
void RequirePath(std::wstring path);

// Shows `text` in the error dialog and ends the process with status -1 through the runtime's exit, so
// the handlers registered for process end still run.
[[noreturn]] void ExitWithError(const std::wstring& text);

// `value` in decimal digits, unsigned.
std::wstring Decimal(DWORD value);

// The system's own text for a Windows error code, with `subject` in place of its "%1" and without its
// trailing line break; "Error N" where the system has no text for the code.
std::wstring SystemMessage(DWORD code, const std::wstring& subject);
