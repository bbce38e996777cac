#pragma once

#include <cstdint>

// What the client exports drive; PelNamedPipeClient is the implementation.
class PelIpcClient {
 public:
  virtual int Init() = 0;
  virtual int Uninit() = 0;
  virtual int Connect(const char* name, bool nonBlocking) = 0;
  virtual int Disconnect() = 0;
  virtual bool IsConnected() = 0;
  virtual int SendData(uint32_t kind, const uint8_t* data, int32_t size) = 0;
  virtual int SendHello(uint32_t connId) = 0;
  virtual int SyncCall(const uint8_t* request, uint32_t requestSize, uint8_t* answer,
                       uint32_t* answerSize) = 0;
  virtual ~PelIpcClient() = default;
};
