// pelipc: the library's command-line tool. Dispatches to one command; the
// commands whose names start with "__" are the child processes that the demo
// and the benchmark start from this same executable.
#include <string>
#include <utility>
#include <vector>

#include "util.h"

namespace pel::pelipc {
int DemoMain(const std::vector<std::string>& args);
int ServeMain(const std::vector<std::string>& args);
int SendMain(const std::vector<std::string>& args);
int CallMain(const std::vector<std::string>& args);
int BenchMain(const std::vector<std::string>& args);
int LogMain(const std::vector<std::string>& args);
int DemoClientMain(const std::vector<std::string>& args);
int BenchPeerMain(const std::vector<std::string>& args);
}  // namespace pel::pelipc

namespace {

const char kUsage[] =
    "usage: pelipc COMMAND [ARGS]\n"
    "\n"
    "  demo                          a server and 3 client processes exchange messages\n"
    "                                and calls; prints what happened; exit 0 when all arrived\n"
    "  serve NAME [--echo|--answer|--both|--quiet] [--once|--connections N]\n"
    "                                listen on pipe NAME and print every event; replies to\n"
    "                                each message by echo (business message), upper-cased\n"
    "                                synchronous answer, or both (default); ends on Ctrl+C\n"
    "                                or after N connections (--once: 1) have closed\n"
    "  send NAME TEXT|@FILE [--replies N]\n"
    "                                connect, send the text or the file's bytes, wait until\n"
    "                                the writes completed (and for N replies)\n"
    "  call NAME TEXT|@FILE [--max BYTES]\n"
    "                                connect, make one synchronous call, print the answer\n"
    "  bench [--quick] [--json FILE] [--calls N] [--upload N] [--download N]\n"
    "        [--small N] [--setups N] [--fanin N] [--fanin-processes N] [--records N]\n"
    "        [--records-16 N] [--repetitions N] [--seconds S] [--only library|raw]\n"
    "                                the library against a raw Win32 named pipe\n"
    "  log [FILE|--prefix P] [--day YYYYMMDD] [--since HH:MM] [--level error|warn|info]\n"
    "      [--function FUNC] [--conn ID] [--follow] [--dir FOLDER]\n"
    "                                alone: the library's log files by family and day,\n"
    "                                with sizes; else the records of one day's files\n"
    "                                (--day, default today; FILE: one file, a name in the\n"
    "                                log folder or a path; --prefix: names starting with P)\n"
    "                                that pass every filter: --since a time of day; --level\n"
    "                                error (FATAL, ERROR), warn (and WARN), info (all);\n"
    "                                --function FUNC or CLASS::FUNC; --conn a connection id\n"
    "                                the message names as Connection[ID], client[ID],\n"
    "                                conn[ID], id[ID] or one of them with ':' (conn_id:ID),\n"
    "                                case ignored. --follow prints new records until\n"
    "                                Ctrl+C, on to a later day's file once it exists.\n"
    "                                --dir reads FOLDER instead of the library's log folder\n"
    "\n"
    "NAME is a pipe name; \\\\.\\pipe\\ is put in front unless it is already there.\n"
    "exit codes: 0 ok, 1 usage, 2 no server / cannot listen, 3 time-out,\n"
    "            4 answer larger than --max, 5 other failure\n";

const std::pair<const char*, int (*)(const std::vector<std::string>&)> kCommands[] = {
    {"demo", pel::pelipc::DemoMain},
    {"serve", pel::pelipc::ServeMain},
    {"send", pel::pelipc::SendMain},
    {"call", pel::pelipc::CallMain},
    {"bench", pel::pelipc::BenchMain},
    {"log", pel::pelipc::LogMain},
    {"__demo-client", pel::pelipc::DemoClientMain},
    {"__bench-peer", pel::pelipc::BenchPeerMain},
};

}  // namespace

int main(int argc, char** argv) {
  using pel::pelipc::kExitOk;
  using pel::pelipc::kExitUsage;
  const std::string command = argc < 2 ? "" : argv[1];
  if (argc < 2 || command == "help" || command == "--help" || command == "-h") {
    std::fputs(kUsage, argc < 2 ? stderr : stdout);
    return argc < 2 ? kExitUsage : kExitOk;
  }
  for (const auto& [name, run] : kCommands) {
    if (command != name) continue;
    const int rc = run({argv + 2, argv + argc});
    if (rc == kExitUsage) std::fputs(kUsage, stderr);
    return rc;
  }
  std::fprintf(stderr, "pelipc: unknown command \"%s\"\n\n%s", argv[1], kUsage);
  return kExitUsage;
}
