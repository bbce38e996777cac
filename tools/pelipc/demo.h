// The demo's script, shared by its server (the `demo` command) and its
// client processes (the hidden `__demo-client` command).
#pragma once

#include <cctype>
#include <cstdint>
#include <string>

namespace pel::pelipc {

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

// Filler bytes whose value depends on the offset, so a lost or reordered piece shows.
inline uint8_t PatternByte(uint64_t at, uint32_t seed) { return (at + seed) % 251; }
inline std::string Pattern(uint32_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  for (uint32_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(PatternByte(i, seed));
  return bytes;
}
// Checked in place: the received piece is never copied.
inline bool MatchesPattern(const uint8_t* data, uint32_t size, uint32_t offset, uint32_t seed) {
  for (uint32_t i = 0; i < size; ++i)
    if (data[i] != PatternByte(uint64_t{offset} + i, seed)) return false;
  return true;
}

constexpr char kHelloPrefix[] = "hello from client ";
inline std::string HelloText(int client) { return kHelloPrefix + std::to_string(client); }
inline std::string Greeting(uint32_t id) { return "welcome, connection " + std::to_string(id); }

// What the server answers a request with.
inline std::string AnswerFor(const std::string& request, uint32_t connId) {
  const std::string body = request.substr(1);
  if (body == "whoami") return "connection " + std::to_string(connId);
  if (body.compare(0, 3, "bye") == 0) return "bye";
  if (body.compare(0, 6, "upper ") != 0) return "unknown request";
  std::string out = body.substr(6);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace pel::pelipc
