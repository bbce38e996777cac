// The pelipc tool and the plain-C examples, run as the separate programs a
// developer starts: their exit codes and what they print.
#include "support/files.h"
#include "support/fixtures.h"

namespace pel_test {
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

TEST(Pelipc, TinyBenchWritesEveryRowForBothSides) {
  const std::string json = UniquePipeName("bench") + ".json";
  // --seconds is a bound, not a pace: the rows end at their counts.
  ExpectRun(kPelipc,
            {"bench",   "--quick", "--calls",   "200", "--upload", "4", "--download",        "2",
             "--small", "200",     "--setups",  "5",   "--fanin",  "5", "--fanin-processes", "5",
             "--json",  json,      "--seconds", "10"},
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
}  // namespace pel_test
