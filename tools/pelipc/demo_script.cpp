#include <cctype>

#include "demo.h"

namespace pelipc {

void FillPattern(std::vector<uint8_t>& bytes, uint32_t seed) {
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>((i + seed) % 251);
}

bool MatchesPattern(const uint8_t* data, uint32_t size, uint32_t offset, uint32_t seed) {
  for (uint32_t i = 0; i < size; ++i) {
    if (data[i] != static_cast<uint8_t>((offset + i + seed) % 251)) return false;
  }
  return true;
}

std::string HelloText(int client) { return "hello from client " + std::to_string(client); }

std::string Greeting(uint32_t connId) { return "welcome, connection " + std::to_string(connId); }

std::string UpperRequest(int client) {
  return std::string(1, kRequestMark) + "upper " + HelloText(client);
}

std::string AnswerFor(const std::string& request, uint32_t connId) {
  const std::string body = request.substr(1);
  if (body == "whoami") return "connection " + std::to_string(connId);
  if (body.compare(0, 6, "upper ") == 0) {
    std::string out = body.substr(6);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
  }
  if (body.compare(0, 3, "bye") == 0) return "bye";
  return "unknown request";
}

}  // namespace pelipc
