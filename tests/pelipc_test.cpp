// The pelipc tool as a developer runs it: demo, serve/send/call with their
// exit codes and messages, and a tiny benchmark run with its JSON.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "support/helpers.h"

namespace {

using pel_test::ExeDir;
using pel_test::RedirectedProcess;
using pel_test::RunProcess;
using pel_test::UniquePipeName;

std::string Pelipc() { return ExeDir() + "pelipc.exe"; }

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(Pelipc, DemoEndsWellAndAccountsForEveryConnection) {
  std::string out;
  ASSERT_EQ(0, RunProcess(Pelipc(), {"demo"}, 90000, &out)) << out;
  for (const char* part : {"#0 connected", "#1 connected", "#2 connected", "#0 closed (code 18)",
                           "#2 closed (code 18)", "716,800 bytes (one OnRecv",
                           "-> answer \"connection ", "log: ", "demo OK"}) {
    EXPECT_TRUE(Has(out, part)) << part << "\n" << out;
  }
  EXPECT_FALSE(Has(out, "FAILED")) << out;
}

TEST(Pelipc, ServeSendAndCallTalkToEachOther) {
  const std::string pipe = UniquePipeName("serve");
  RedirectedProcess serve(Pelipc(), {"serve", pipe, "--connections", "3"});
  ASSERT_TRUE(serve.WaitForOutput("listening on", 10000)) << serve.Output();

  std::string out;
  EXPECT_EQ(0, RunProcess(Pelipc(), {"call", pipe, "make me loud"}, 20000, &out)) << out;
  EXPECT_TRUE(Has(out, "12 bytes: \"MAKE ME LOUD\"")) << out;

  // The echo comes back as a business message; the unasked-for answer is
  // dropped by a client that never called.
  EXPECT_EQ(0, RunProcess(Pelipc(), {"send", pipe, "ping", "--replies", "1"}, 20000, &out)) << out;
  EXPECT_TRUE(Has(out, "sent 4 bytes")) << out;
  EXPECT_TRUE(Has(out, "4 bytes: \"ping\"")) << out;

  EXPECT_EQ(4, RunProcess(Pelipc(), {"call", pipe, "too long", "--max", "3"}, 20000, &out)) << out;
  EXPECT_TRUE(Has(out, "answer of 8 bytes does not fit the 3-byte buffer")) << out;
  EXPECT_TRUE(Has(out, "error 8 (answer larger than the caller's buffer)")) << out;

  EXPECT_EQ(0, serve.Wait(20000)) << serve.Output();
  serve.WaitForEnd(5000);
  const std::string log = serve.Output();
  EXPECT_TRUE(Has(log, "#0 received 12 bytes: \"make me loud\"")) << log;
  EXPECT_TRUE(Has(log, "#1 received 4 bytes: \"ping\"")) << log;
  EXPECT_TRUE(Has(log, "#2 closed (code 18)")) << log;
  EXPECT_TRUE(Has(log, "stopped")) << log;
}

TEST(Pelipc, SendOfLargeFileArrivesInPieces) {
  const std::string pipe = UniquePipeName("file");
  char temp[MAX_PATH];
  ASSERT_NE(0u, GetTempPathA(MAX_PATH, temp));
  const std::string path = std::string(temp) + pipe + ".bin";
  {
    std::ofstream file(path, std::ios::binary);
    file << std::string(1000000, 'z');
  }
  RedirectedProcess serve(Pelipc(), {"serve", pipe, "--quiet", "--once"});
  ASSERT_TRUE(serve.WaitForOutput("listening on", 10000)) << serve.Output();
  std::string out;
  EXPECT_EQ(0, RunProcess(Pelipc(), {"send", pipe, "@" + path}, 20000, &out)) << out;
  EXPECT_TRUE(Has(out, "sent 1,000,000 bytes")) << out;
  EXPECT_TRUE(Has(out, "(2 messages)")) << out;
  EXPECT_EQ(0, serve.Wait(20000));
  serve.WaitForEnd(5000);
  const std::string log = serve.Output();
  EXPECT_TRUE(Has(log, "#0 received 716,800 bytes")) << log;
  EXPECT_TRUE(Has(log, "#0 received 283,200 bytes")) << log;
  DeleteFileA(path.c_str());
}

TEST(Pelipc, FailuresNameTheResultCodeAndExitNonZero) {
  const std::string nobody = UniquePipeName("nobody");
  std::string out;
  EXPECT_EQ(2, RunProcess(Pelipc(), {"call", nobody, "x"}, 20000, &out)) << out;
  EXPECT_TRUE(Has(out, "no server listens on \\\\.\\pipe\\" + nobody)) << out;
  EXPECT_TRUE(Has(out, "error 12 (pipe could not be created, connected or opened)")) << out;
  EXPECT_EQ(2, RunProcess(Pelipc(), {"send", nobody, "x"}, 20000, &out)) << out;
  EXPECT_TRUE(Has(out, "error 12")) << out;
  EXPECT_EQ(1, RunProcess(Pelipc(), {"send", nobody, ""}, 20000, &out)) << out;
  EXPECT_TRUE(Has(out, "nothing to send")) << out;
  EXPECT_EQ(1, RunProcess(Pelipc(), {"frobnicate"}, 20000, &out)) << out;
  EXPECT_TRUE(Has(out, "unknown command")) << out;

  // A server that only echoes never answers a call: time-out after 2000 ms.
  const std::string pipe = UniquePipeName("mute");
  RedirectedProcess serve(Pelipc(), {"serve", pipe, "--echo", "--once"});
  ASSERT_TRUE(serve.WaitForOutput("listening on", 10000)) << serve.Output();
  EXPECT_EQ(3, RunProcess(Pelipc(), {"call", pipe, "anyone?"}, 20000, &out)) << out;
  EXPECT_TRUE(Has(out, "no answer within 2000 ms: error 17 (time-out or failed wait)")) << out;
  EXPECT_EQ(0, serve.Wait(20000));
}

TEST(Pelipc, TinyBenchWritesEveryRowForBothSides) {
  char temp[MAX_PATH];
  ASSERT_NE(0u, GetTempPathA(MAX_PATH, temp));
  const std::string json = std::string(temp) + UniquePipeName("bench") + ".json";
  std::string out;
  ASSERT_EQ(0, RunProcess(Pelipc(),
                          {"bench", "--quick", "--calls", "200", "--upload", "4", "--download", "2",
                           "--small", "200", "--setups", "5", "--fanin", "5", "--json", json,
                           // A bound, not a pace: the rows end at their counts.
                           "--seconds", "10"},
                          120000, &out))
      << out;
  std::ifstream file(json, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  for (const char* id : {"sync_call_rtt_p50", "sync_call_rtt_p99", "throughput_client_to_server",
                         "throughput_server_to_client", "small_message_rate",
                         "connection_setup_rate", "aggregate_16_clients"}) {
    EXPECT_TRUE(Has(text, std::string("\"id\": \"") + id + "\"")) << id << "\n" << text;
  }
  EXPECT_FALSE(Has(text, "null")) << text;
  EXPECT_FALSE(Has(text, "_count\": 0")) << text;
  for (const char* row : {"sync call round trip p99 (us)", "client->server throughput (MB/s)",
                          "16 clients, 64 B sync calls (call/s)"}) {
    EXPECT_TRUE(Has(out, row)) << row << "\n" << out;
  }
  file.close();
  DeleteFileA(json.c_str());
}

}  // namespace
