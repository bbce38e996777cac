#pragma once

#include <string>

namespace pellog {

// Turns a compiler's full function signature into the qualified name the log
// shows: "static int PelNamedPipeServer::WorkThread(PelNamedPipeServer*)"
// becomes "PelNamedPipeServer::WorkThread". A bare name is returned as it is.
std::string QualifiedFunctionName(const char* signature);

}  // namespace pellog
