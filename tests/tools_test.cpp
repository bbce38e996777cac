// The pelipc tool and the plain-C examples, run as the separate programs a
// developer starts: their exit codes and what they print.
#include <fstream>

#include "support/fixtures.h"

namespace pel::test {
namespace {

const std::string kPelipc = ExeDir() + "pelipc.exe";

void ExpectParts(const std::string& text, std::initializer_list<std::string> parts) {
  for (const auto& part : parts)
    EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
}

// Runs a program to its end and checks its exit code and output.
void ExpectRun(const std::string& exe, const std::vector<std::string>& args, int exitCode,
               std::initializer_list<std::string> parts, uint32_t timeoutMs = 20000) {
  std::string out;
  EXPECT_EQ(RunProcess(exe, args, timeoutMs, &out), exitCode) << out;
  ExpectParts(out, parts);
}

// A server program that ends by itself; its output once it has.
std::string EndedOutput(RedirectedProcess& server) {
  EXPECT_EQ(server.Wait(20000), 0) << server.Output();
  server.WaitForEnd(5000);
  return server.Output();
}

TEST(Examples, ClientGetsEveryAnswerFromTheEchoServer) {
  const std::string pipe = UniquePipeName("example"), client = ExeDir() + "echo_client.exe";
  RedirectedProcess server(ExeDir() + "echo_server.exe", {pipe});
  ASSERT_TRUE(server.WaitForOutput("listening on " + pipe, 10000)) << server.Output();
  ExpectRun(client, {pipe, "hello", "second call"}, 0,
            {"answer: hello\n", "answer: second call\n", "connection 0 closed (code 0)"});
  // A second client gets the next id; the server sees both go.
  ExpectRun(client, {pipe}, 0, {});
  ASSERT_TRUE(server.WaitForOutput("connection 1 closed (code 18)", 10000)) << server.Output();
  server.CloseInput();
  ExpectParts(EndedOutput(server), {"connection 0 open", "connection 0: 11 bytes",
                                    "connection 0 closed (code 18)", "stopped"});
  ExpectRun(client, {UniquePipeName("nobody")}, 2, {"failed: error 12"});
}

TEST(Pelipc, ServeSendAndCallTalkToEachOther) {
  // Files go to the current folder, which the programs started here share.
  const std::string pipe = UniquePipeName("serve"), path = pipe + ".bin";
  WriteFileBytes(path, std::string(1000000, 'z'));
  RedirectedProcess serve(kPelipc, {"serve", pipe, "--connections", "4"});
  ASSERT_TRUE(serve.WaitForOutput("listening on", 10000)) << serve.Output();
  ExpectRun(kPelipc, {"call", pipe, "make me loud"}, 0, {"12 bytes: \"MAKE ME LOUD\""});
  // The echo comes back as a business message; the unasked-for answer is
  // dropped by a client that never called.
  ExpectRun(kPelipc, {"send", pipe, "ping", "--replies", "1"}, 0,
            {"sent 4 bytes", "4 bytes: \"ping\""});
  ExpectRun(kPelipc, {"call", pipe, "too long", "--max", "3"}, 4,
            {"answer of 8 bytes does not fit the 3-byte buffer",
             "error 8 (answer larger than the caller's buffer)"});
  ExpectRun(kPelipc, {"send", pipe, "@" + path}, 0, {"sent 1,000,000 bytes", "(2 messages)"});
  DeleteFileA(path.c_str());
  ExpectParts(
      EndedOutput(serve),
      {"#0 received 12 bytes: \"make me loud\"", "#1 received 4 bytes: \"ping\"",
       "#2 closed (code 18)", "#3 received 716,800 bytes", "#3 received 283,200 bytes", "stopped"});
}

TEST(Pelipc, FailuresNameTheResultCodeAndExitNonZero) {
  const std::string nobody = UniquePipeName("nobody");
  ExpectRun(kPelipc, {"call", nobody, "x"}, 2,
            {"no server listens on \\\\.\\pipe\\" + nobody,
             "error 12 (pipe could not be created, connected or opened)"});
  ExpectRun(kPelipc, {"send", nobody, "x"}, 2, {"error 12"});
  ExpectRun(kPelipc, {"send", nobody, ""}, 1, {"nothing to send"});
  ExpectRun(kPelipc, {"frobnicate"}, 1, {"unknown command"});
}

// A day's records in two families, then the next day's; each with its marker.
const std::string kDay =
    "2026-03-01 09:00:00.001 INFO  [11] [Server::Accept@1] HandleIocpConnect: conn_id:3 #A\n"
    "2026-03-01 09:30:00.002 ERROR [12] [Client::SyncCall@2] failed!\n#B goes on\n"
    "2026-03-01 10:15:00.003 WARN  [11] [Server::Read@3] Connection[31][0000000000000003] #C\n"
    "2026-03-01 11:00:00.004 FATAL [13] [PEL_SyncCall@4] connection id[3] gone #D\n";
const std::string kMorrow = "2026-03-01 12:00:00.005 INFO  [14] [Client::SyncCall@5] client:3 #E\n";
const std::string kNextDay =
    "2026-03-02 00:00:01.006 INFO  [15] [Server::Init@6] Enter! #F\n"
    "2026-03-02 00:00:01.007 ERROR [15] [Server::Init@7] >>>>#G<<<<\n";

TEST(Pelipc, LogListsTheFilesAndPrintsTheRecordsEachFilterPasses) {
  TempDir dir("log");
  const std::string day = "pel_ipc-srv-2026030100.log", next = "pel_ipc-srv-2026030201.log",
                    morrow = "pel_ipc_morrow-0-2026030100.log";
  WriteFileBytes(dir / day, kDay);
  WriteFileBytes(dir / morrow, kMorrow);
  WriteFileBytes(dir / next, kNextDay);
  ExpectRun(kPelipc, {"log", "--dir", dir.path()}, 0,
            {"\npel_ipc\n  2026-03-01  " + day, " " + std::to_string(kDay.size()) + "\n",
             "\n  2026-03-02  " + next, "\npel_ipc_morrow\n  2026-03-01  " + morrow, "3 files"});
  const std::vector<std::pair<std::vector<std::string>, std::string>> kCases = {
      {{}, "ABCDE"},
      {{"--prefix", "pel_ipc-"}, "ABCD"},
      {{morrow}, "E"},
      {{dir / next}, "FG"},
      {{"--since", "10:15"}, "CDE"},
      {{"--level", "error"}, "BD"},
      {{"--level", "warn"}, "BCD"},
      {{"--function", "SyncCall"}, "BE"},
      {{"--function", "Client::SyncCall"}, "BE"},
      {{"--conn", "3"}, "ADE"},
      {{"--conn", "31", "--level", "warn"}, "C"},
  };
  for (const auto& c : kCases) {
    std::vector<std::string> args = {"log", "--dir", dir.path(), "--day", "20260301"};
    args.insert(args.end(), c.first.begin(), c.first.end());
    std::string out;
    EXPECT_EQ(RunProcess(kPelipc, args, 20000, &out), 0) << out;
    std::string shown;
    for (const char marker : std::string("ABCDEFG"))
      if (out.find(std::string("#") + marker) != std::string::npos) shown += marker;
    EXPECT_EQ(shown, c.second) << out;
  }
  ExpectRun(kPelipc, {"log", "--dir", dir / "none"}, 5, {"mkdir \"" + dir / "none" + "\""});
  ExpectRun(kPelipc, {"log", "--dir", dir.path(), "--day", "20260303"}, 5, {"no log file"});
}

TEST(Pelipc, LogFollowGoesOnIntoTheNextDaysFile) {
  TempDir dir("follow");
  WriteFileBytes(dir / "pel_ipc-srv-2026030100.log", kDay);
  RedirectedProcess follow(
      kPelipc, {"log", "--dir", dir.path(), "--day", "20260301", "--follow", "--level", "warn"});
  ASSERT_TRUE(follow.WaitForOutput("#D", 10000)) << follow.Output();
  // Midnight as the library passes it: the next day's file appears.
  WriteFileBytes(dir / "pel_ipc-srv-2026030201.log", kNextDay);
  ASSERT_TRUE(follow.WaitForOutput("#G", 10000)) << follow.Output();
  // A record stamped before midnight may still land in the old day's file.
  std::ofstream(dir / "pel_ipc-srv-2026030100.log", std::ios::app | std::ios::binary)
      << "2026-03-01 23:59:59.999 ERROR [16] [PEL_DestroyIpcServer@44] late #H\n";
  ASSERT_TRUE(follow.WaitForOutput("#H", 10000)) << follow.Output();
  EXPECT_EQ(follow.Output().find("#F"), std::string::npos) << follow.Output();
}

TEST(Pelipc, TinyBenchWritesEveryRowForBothSides) {
  const std::string json = UniquePipeName("bench") + ".json";
  // --seconds is a bound, not a pace: the rows end at their counts.
  ExpectRun(
      kPelipc,
      {"bench",     "--quick", "--calls",      "200", "--upload", "4",  "--download",        "2",
       "--small",   "200",     "--setups",     "5",   "--fanin",  "5",  "--fanin-processes", "5",
       "--records", "200",     "--records-16", "20",  "--json",   json, "--seconds",         "10"},
      0, {"16 clients, 64 B sync calls (call/s)", "records x"}, 120000);
  const std::string text = ReadFileBytes(json);
  DeleteFileA(json.c_str());
  ExpectParts(text, {"sync_call_rtt_p50", "sync_call_rtt_p99", "throughput_client_to_server",
                     "throughput_server_to_client", "small_message_rate", "connection_setup_rate",
                     "aggregate_16_clients", "aggregate_16_processes", "log_record_rate_1_thread",
                     "log_record_rate_16_threads", "\"repetitions\": 3", "\"baseline_min\""});
  for (auto bad : {"null", "_count\": 0"}) EXPECT_EQ(text.find(bad), std::string::npos) << text;
}

}  // namespace
}  // namespace pel::test
