// pelipc and the plain-C examples run as the programs a developer starts: exit codes and output.
#include <fstream>
#include <sstream>

#include "support/fixtures.h"

using namespace pel::test;
using Parts = std::vector<std::string>;
static const std::string kPelipc = ExeDir() + "pelipc.exe";

static void ExpectParts(const std::string& text, const Parts& parts) {
  for (const auto& p : parts) EXPECT_NE(text.find(p), std::string::npos) << p << "\n" << text;
}

static std::string Exec(const Parts& args, int code, const Parts& want, std::string exe = kPelipc) {
  std::string out;  // the bound is the bench's
  EXPECT_EQ(RunProcess(exe, args, 120000, &out), code) << out;
  ExpectParts(out, want);
  return out;
}

// The examples; pelipc serve, send and call (an echo comes back as business, an unasked answer is
// dropped by a client that never called, failures name their code); a tiny bench; pelipc log.
TEST(Tools, ExamplesServeSendCallATinyBenchAndTheLogReader) {
  TempDir dir("tools");
  const std::string pipe = UniquePipeName("serve"), echo = pipe + "echo", none = pipe + "none",
                    path = dir / "big.bin", client = ExeDir() + "echo_client.exe";
  RedirectedProcess server(ExeDir() + "echo_server.exe", {echo});
  ASSERT_TRUE(server.WaitForOutput("listening on " + echo, 10000)) << server.Output();
  Exec({echo, "hello", "second call"}, 0,
       {"answer: hello\n", "answer: second call\n", "connection 0 closed (code 0)"}, client);
  ASSERT_TRUE(server.WaitForOutput("connection 0 closed (code 18)", 10000)) << server.Output();
  server.CloseInput();
  EXPECT_TRUE(server.Wait(20000) == 0 && server.WaitForEnd(5000)) << server.Output();
  ExpectParts(server.Output(), {"connection 0 open", "connection 0: 11 bytes", "stopped"});
  Exec({none}, 2, {"failed: error 12"}, client);
  WriteFileBytes(path, std::string(1000000, 'z'));
  RedirectedProcess serve(kPelipc, {"serve", pipe, "--connections", "4"});
  ASSERT_TRUE(serve.WaitForOutput("listening on", 10000)) << serve.Output();
  Exec({"call", pipe, "make me loud"}, 0, {"12 bytes: \"MAKE ME LOUD\""});
  Exec({"send", pipe, "ping", "--replies", "1"}, 0, {"sent 4 bytes", "4 bytes: \"ping\""});
  Exec({"call", pipe, "too long", "--max", "3"}, 4,
       {"answer of 8 bytes does not fit the 3-byte buffer",
        "error 8 (answer larger than the caller's buffer)"});
  Exec({"send", pipe, "@" + path}, 0, {"sent 1,000,000 bytes", "(2 messages)"});
  Exec({"call", none, "x"}, 2,
       {"no server listens on \\\\.\\pipe\\" + none,
        "error 12 (pipe could not be created, connected or opened)"});
  Exec({"send", none, ""}, 1, {"nothing to send"});
  Exec({"frobnicate"}, 1, {"unknown command"});
  EXPECT_TRUE(serve.Wait(20000) == 0 && serve.WaitForEnd(5000)) << serve.Output();
  ExpectParts(
      serve.Output(),
      {"#0 received 12 bytes: \"make me loud\"", "#1 received 4 bytes: \"ping\"",
       "#2 closed (code 18)", "#3 received 716,800 bytes", "#3 received 283,200 bytes", "stopped"});
  // --seconds is a bound, not a pace: the rows end at their counts.
  const std::string json = dir / "bench.json";
  Exec({"bench",     "--quick", "--calls",      "200", "--upload", "4",  "--download",        "2",
        "--small",   "200",     "--setups",     "5",   "--fanin",  "5",  "--fanin-processes", "5",
        "--records", "200",     "--records-16", "20",  "--json",   json, "--seconds",         "10"},
       0, {"16 clients, 64 B sync calls (call/s)", "records x"});
  const std::string text = ReadFileBytes(json);
  ExpectParts(text, {"sync_call_rtt_p50", "sync_call_rtt_p99", "throughput_client_to_server",
                     "throughput_server_to_client", "small_message_rate", "connection_setup_rate",
                     "aggregate_16_clients", "aggregate_16_processes", "log_record_rate_1_thread",
                     "log_record_rate_16_threads", "\"repetitions\": 3", "\"baseline_min\""});
  for (auto bad : {"null", "_count\": 0"}) EXPECT_EQ(text.find(bad), std::string::npos) << text;

  // --follow goes on into the next day's file and back to the old one for a record stamped before
  // midnight; then the listing of two families and what each filter passes of a day.
  const std::string day = dir / "pel_ipc-srv-2026030100.log",
                    next = dir / "pel_ipc-srv-2026030201.log",
                    morrow = "pel_ipc_morrow-0-2026030100.log";
  WriteFileBytes(
      day,
      "2026-03-01 09:00:00.001 INFO  [11] [Server::Accept@1] HandleIocpConnect: conn_id:3 #A\n"
      "2026-03-01 09:30:00.002 ERROR [12] [Client::SyncCall@2] failed!\n#B goes on\n"
      "2026-03-01 10:15:00.003 WARN  [11] [Server::Read@3] Connection[31][0000000000000003] #C\n"
      "2026-03-01 11:00:00.004 FATAL [13] [PEL_SyncCall@4] connection id[3] gone #D\n");
  RedirectedProcess follow(
      kPelipc, {"log", "--dir", dir.path(), "--day", "20260301", "--follow", "--level", "warn"});
  ASSERT_TRUE(follow.WaitForOutput("#D", 10000)) << follow.Output();
  WriteFileBytes(next,
                 "2026-03-02 00:00:01.006 INFO  [15] [Server::Init@6] Enter! #F\n"
                 "2026-03-02 00:00:01.007 ERROR [15] [Server::Init@7] >>>>#G<<<<\n");
  ASSERT_TRUE(follow.WaitForOutput("#G", 10000)) << follow.Output();
  std::ofstream(day, std::ios::app | std::ios::binary)
      << "2026-03-01 23:59:59.999 ERROR [16] [PEL_DestroyIpcServer@44] late #H\n";
  ASSERT_TRUE(follow.WaitForOutput("#H", 10000)) << follow.Output();
  EXPECT_EQ(follow.Output().find("#F"), std::string::npos) << follow.Output();

  WriteFileBytes(dir / morrow,
                 "2026-03-01 12:00:00.005 INFO  [14] [Client::SyncCall@5] client:3 #E\n");
  Exec({"log", "--dir", dir.path()}, 0,
       {"\npel_ipc\n  2026-03-01  pel_ipc-srv-2026030100.log",
        " " + std::to_string(ReadFileBytes(day).size()) + "\n",
        "\n  2026-03-02  pel_ipc-srv-2026030201.log", "\npel_ipc_morrow\n  2026-03-01  " + morrow,
        "3 files"});
  // Each row: the markers (one on each record) a filter shows, file by file, then the filter.
  for (const std::string& row :
       Parts{"ABCDHE", "ABCDH --prefix pel_ipc-", "E " + morrow, "FG " + next, "CDHE --since 10:15",
             "BDH --level error", "BCDH --level warn", "BE --function SyncCall",
             "BE --function Client::SyncCall", "ADE --conn 3", "C --conn 31 --level warn"}) {
    const std::string markers = row.substr(0, row.find(' '));
    std::istringstream words(row.substr(markers.size()));
    Parts args = {"log", "--dir", dir.path(), "--day", "20260301"};
    args.insert(args.end(), std::istream_iterator<std::string>(words), {});
    std::string shown, out = Exec(args, 0, {});
    for (size_t at = 0; (at = out.find('#', at) + 1) != 0;) shown += out[at];
    EXPECT_EQ(shown, markers) << out;
  }
  Exec({"log", "--dir", dir / "none"}, 5, {"mkdir \"" + dir / "none" + "\""});
  Exec({"log", "--dir", dir.path(), "--day", "20260303"}, 5, {"no log file"});
}
