// The demo's script, shared by its server (the `demo` command) and its
// client processes (the hidden `__demo-client` command).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pelipc {

constexpr int kDemoClients = 3;
// Client 1 sends this much in one PEL_IpcClientSendData: above the 716,800
// bytes of one client message, so the server sees it as two messages.
constexpr uint32_t kDemoBlobSize = 1000000;
constexpr int kDemoBlobClient = 1;
// The server pushes one message this large to every client on connect.
constexpr uint32_t kDemoSnapshotSize = 2000000;
// Client 2 first asks with a buffer too small for the answer (result 8).
constexpr int kDemoSmallBufferClient = 2;
constexpr uint32_t kDemoSmallBuffer = 4;

// The library hands a synchronous request to the server's OnRecv like any
// business message; the demo marks requests with a leading '?'.
constexpr char kRequestMark = '?';

// Filler bytes whose value depends on the offset, so a lost or reordered
// piece shows.
void FillPattern(std::vector<uint8_t>& bytes, uint32_t seed);
bool MatchesPattern(const uint8_t* data, uint32_t size, uint32_t offset, uint32_t seed);

std::string HelloText(int client);
std::string Greeting(uint32_t connId);
std::string UpperRequest(int client);
// What the server answers a request with.
std::string AnswerFor(const std::string& request, uint32_t connId);

// The hidden command: one client process of the demo.
int DemoClientMain(const std::vector<std::string>& args);

}  // namespace pelipc
