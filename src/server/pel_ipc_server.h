#pragma once

#include <cstdint>

// What the server exports drive; PelNamedPipeServer is the implementation.
class PelIpcServer {
 public:
  virtual int Init() = 0;
  virtual int Uninit() = 0;
  virtual int Start(const char* name) = 0;
  virtual int Close() = 0;
  virtual int CloseSingleConnection(uint32_t connId) = 0;
  virtual int SendData(uint32_t connId, int32_t kind, const uint8_t* data, int32_t size) = 0;
  virtual int SendHello(uint32_t connId) = 0;
  virtual ~PelIpcServer() = default;
};
