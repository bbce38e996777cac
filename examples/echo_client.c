/* Minimal pel_ipc client in plain C: echo_client [PIPE_NAME [TEXT...]]
 * Connects, makes one synchronous call per TEXT (default "hello"), prints each answer and exits 0
 * when every answer equals its request. */
#include <stdio.h>
#include <string.h>

#include "pel_ipc.h"

/* Connects and completed writes need nothing here. */
static int32_t Ignore(uint32_t conn_id, void* user_context) {
  (void)conn_id;
  (void)user_context;
  return 0;
}

/* Business messages from the server; answers to calls never come here. */
static int32_t OnRecv(uint32_t conn_id, const uint8_t* data, uint32_t size, void* user_context) {
  (void)data;
  (void)user_context;
  printf("message on connection %u: %u bytes\n", conn_id, size);
  return 0;
}

/* Code 0 when this process disconnected; runs on the disconnecting thread. */
static int32_t OnClose(uint32_t conn_id, int32_t code, void* user_context) {
  (void)user_context;
  printf("connection %u closed (code %d)\n", conn_id, code);
  return 0;
}

static int Call(PelIpcClientHandle client, const char* text) {
  uint8_t answer[1024];
  uint32_t answer_size = sizeof answer; /* capacity in, length out */
  uint32_t size = (uint32_t)strlen(text);
  int32_t result;

  if (size == 0) return 1;
  /* Blocks for at most 2000 ms; must not be called from a callback. */
  result = PEL_IpcClientSyncCall(client, (const uint8_t*)text, size, answer, &answer_size);
  if (result == PEL_ERR_BUFFER_TOO_SMALL) {
    printf("answer needs %u bytes\n", answer_size);
    return 1;
  }
  if (result != PEL_OK) {
    printf("call failed: error %d\n", result);
    return 1;
  }
  printf("answer: %.*s\n", (int)answer_size, (const char*)answer);
  return answer_size == size && memcmp(answer, text, size) == 0 ? 0 : 1;
}

int main(int argc, char** argv) {
  const char* name = argc > 1 ? argv[1] : "pel_ipc_echo";
  PelIpcCallback callbacks;
  PelIpcClientHandle client;
  int32_t result;
  int failures = 0;
  int i;

  memset(&callbacks, 0, sizeof callbacks);
  callbacks.OnConnect = Ignore;
  callbacks.OnSend = Ignore;
  callbacks.OnRecv = OnRecv;
  callbacks.OnClose = OnClose;
  strcpy(callbacks.LogName, "echo_client");

  client = PEL_CreateIpcClient(&callbacks);
  if (client == NULL) {
    fprintf(stderr, "PEL_CreateIpcClient failed\n");
    return 1;
  }
  /* Blocking: returns once the HELLO exchange is complete, or after 2000 ms. */
  result = PEL_ConnectIpcClient(client, name);
  if (result != PEL_OK) {
    printf("connect to %s failed: error %d\n", name, result);
    PEL_DestroyIpcClient(client);
    return 2;
  }
  for (i = 2; i < argc; ++i) failures += Call(client, argv[i]);
  if (argc <= 2) failures += Call(client, "hello");
  PEL_DisconnectIpcClient(client);
  PEL_DestroyIpcClient(client);
  return failures == 0 ? 0 : 1;
}
