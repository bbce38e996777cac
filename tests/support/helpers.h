// Test support shared by every test executable.
//
// Helper processes: a test executable started with "--helper NAME args..."
// runs the helper registered under NAME instead of the tests, so one binary
// can play server in one process and client in another.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/event.h"
#include "common/process.h"
#include "platform/win.h"

namespace pel_test {

using HelperFn = int (*)(const std::vector<std::string>& args);

struct HelperRegistration {
  HelperRegistration(const char* name, HelperFn fn);
};

#define PEL_TEST_HELPER(name)                                                          \
  static int PelHelper_##name(const std::vector<std::string>& args);                   \
  static ::pel_test::HelperRegistration PelHelperReg_##name(#name, &PelHelper_##name); \
  static int PelHelper_##name(const std::vector<std::string>& args)

// Returns -1 when no helper mode was asked for, else the helper's exit code.
int RunHelperIfAsked(int argc, char** argv);

// A running helper process of this same executable.
class HelperProcess : public pel_tools::Process {
 public:
  HelperProcess(const std::string& helper, const std::vector<std::string>& args);
  // The same helper mode, run from another executable (a copy of this one).
  HelperProcess(const std::string& exePath, const std::string& helper,
                const std::vector<std::string>& args);
};

// Another executable of the build with its standard input and output on
// pipes, for tests of the tools and examples.
class RedirectedProcess : public pel_tools::Process {
 public:
  RedirectedProcess(const std::string& exe, const std::vector<std::string>& args)
      : Process(exe, args, pel_tools::Stdio::kCapture) {}
};

using pel_tools::ExeDir;
using pel_tools::ExePath;
using pel_tools::RunProcess;

// A pipe name no other test process uses.
std::string UniquePipeName(const std::string& tag);
// The full path form of the same.
std::string FullPipePath(const std::string& bareName);

// A manual-reset event with a bounded wait; tests never sleep to synchronise.
using Signal = pel_tools::Event;

// Polls pred every millisecond or so until it holds or timeoutMs pass.
bool WaitUntil(const std::function<bool()>& pred, uint32_t timeoutMs);

// A server's worker threads, and so its listening instances after Start:
// the processor count + 2.
int32_t ServerWorkerCount();

// A whole number from the environment, else fallback (longer runs set them).
uint32_t EnvNumber(const char* name, uint32_t fallback);

// The process's private memory (commit charge), in bytes.
uint64_t PrivateBytes();

}  // namespace pel_test
