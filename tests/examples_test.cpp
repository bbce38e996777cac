// The plain-C examples, run as the separate programs they are.
#include <gtest/gtest.h>

#include "support/helpers.h"

namespace {

using pel_test::ExeDir;
using pel_test::RedirectedProcess;
using pel_test::RunProcess;
using pel_test::UniquePipeName;

TEST(Examples, ClientGetsEveryAnswerFromTheEchoServer) {
  const std::string pipe = UniquePipeName("example");
  RedirectedProcess server(ExeDir() + "echo_server.exe", {pipe});
  ASSERT_TRUE(server.started());
  ASSERT_TRUE(server.WaitForOutput("listening on " + pipe, 10000)) << server.Output();

  std::string out;
  EXPECT_EQ(0,
            RunProcess(ExeDir() + "echo_client.exe", {pipe, "hello", "second call"}, 20000, &out))
      << out;
  EXPECT_NE(std::string::npos, out.find("answer: hello\n")) << out;
  EXPECT_NE(std::string::npos, out.find("answer: second call\n")) << out;
  EXPECT_NE(std::string::npos, out.find("connection 0 closed (code 0)")) << out;

  // A second client gets the next id; the server sees both go.
  EXPECT_EQ(0, RunProcess(ExeDir() + "echo_client.exe", {pipe}, 20000, &out)) << out;
  ASSERT_TRUE(server.WaitForOutput("connection 1 closed (code 18)", 10000)) << server.Output();
  server.CloseInput();
  EXPECT_EQ(0, server.Wait(20000));
  server.WaitForEnd(5000);
  const std::string log = server.Output();
  EXPECT_NE(std::string::npos, log.find("connection 0 open")) << log;
  EXPECT_NE(std::string::npos, log.find("connection 0: 11 bytes")) << log;
  EXPECT_NE(std::string::npos, log.find("connection 0 closed (code 18)")) << log;
  EXPECT_NE(std::string::npos, log.find("stopped")) << log;
}

TEST(Examples, ClientWithoutServerReportsThePipeError) {
  std::string out;
  EXPECT_EQ(2, RunProcess(ExeDir() + "echo_client.exe", {UniquePipeName("nobody")}, 20000, &out))
      << out;
  EXPECT_NE(std::string::npos, out.find("failed: error 12")) << out;
}

}  // namespace
