// The interactive user's session, seen from a process that may run under
// another account: the token of the user's shell and its profile folder.
#pragma once

#include <cstdint>

#include "platform/win.h"

namespace PelTools {

// A new primary token of the user who runs the first "explorer.exe" in the
// process snapshot; the caller closes it. On failure *token is untouched.
BOOL GetUserToken(HANDLE* token);

// The profile folder of that user into path (size bytes). True with the
// folder, or with path untouched when no token could be had; false only when
// the profile folder is refused for a token that was found.
bool GetCurrentUserDocumentPath(char* path, uint32_t size);

}  // namespace PelTools
