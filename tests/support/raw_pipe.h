// Minimal peers written straight against Win32, so server tests need no
// client of ours and client tests can meet a server that misbehaves. The
// bench's raw-pipe baseline is built on the same peers.
#pragma once

#include "common/raw_pipe.h"

namespace pel_test {

using pel_tools::MakeMessage;
using pel_tools::RawPipeClient;
using pel_tools::RawPipeServer;

}  // namespace pel_test
