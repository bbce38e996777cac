#pragma once

#include <string>

namespace pel {

// The host may give a bare name or a full pipe path. Only a name that holds
// the exact, case-sensitive text "\\.\pipe" somewhere is taken as a path.
std::string FullPipeName(const char* name);

}  // namespace pel
