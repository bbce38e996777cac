/* Minimal pel_ipc echo server in plain C: echo_server [PIPE_NAME]
 * Every message that arrives goes back to its sender as the answer of a synchronous call. The
 * server runs until a line, or the end of input, arrives on standard input. */
#include <stdio.h>
#include <string.h>

#include "pel_ipc.h"

/* Handed to every callback as UserContext. */
struct EchoServer {
  PelIpcServerHandle server;
};

/* Callbacks run on the library's worker threads, several at a time. */
static int32_t OnConnect(uint32_t conn_id, void* user_context) {
  (void)user_context;
  printf("connection %u open\n", conn_id);
  fflush(stdout);
  return 0;
}

static int32_t OnSend(uint32_t conn_id, void* user_context) {
  (void)conn_id;
  (void)user_context;
  return 0;
}

static int32_t OnRecv(uint32_t conn_id, const uint8_t* data, uint32_t size, void* user_context) {
  struct EchoServer* self = (struct EchoServer*)user_context;
  int32_t result;
  printf("connection %u: %u bytes\n", conn_id, size);
  fflush(stdout);
  if (size == 0) return 0;
  /* Sending from inside a callback is allowed; the data is copied. */
  result = PEL_IpcServerSendData(self->server, conn_id, true, data, (int32_t)size);
  if (result != PEL_OK) printf("answer to %u failed: error %d\n", conn_id, result);
  return 0;
}

static int32_t OnClose(uint32_t conn_id, int32_t code, void* user_context) {
  (void)user_context;
  printf("connection %u closed (code %d)\n", conn_id, code);
  fflush(stdout);
  return 0;
}

int main(int argc, char** argv) {
  const char* name = argc > 1 ? argv[1] : "pel_ipc_echo";
  struct EchoServer self;
  PelIpcCallback callbacks;
  int32_t result;
  int c;

  memset(&callbacks, 0, sizeof callbacks);
  callbacks.OnConnect = OnConnect;
  callbacks.OnSend = OnSend;
  callbacks.OnRecv = OnRecv;
  callbacks.OnClose = OnClose;
  callbacks.UserContext = &self;
  strcpy(callbacks.LogName, "echo_server");

  /* No callback runs before the start, so the handle is in place in time. */
  self.server = PEL_CreateIpcServer(&callbacks);
  if (self.server == NULL) {
    fprintf(stderr, "PEL_CreateIpcServer failed\n");
    return 1;
  }
  result = PEL_StartIpcServer(self.server, name);
  if (result != PEL_OK) {
    fprintf(stderr, "PEL_StartIpcServer(%s) failed: error %d\n", name, result);
    PEL_DestroyIpcServer(self.server);
    return 2;
  }
  printf("listening on %s\n", name);
  fflush(stdout);

  do {
    c = getchar();
  } while (c != EOF && c != '\n');

  /* Closes every connection (each gets OnClose) and stops the workers. */
  PEL_DestroyIpcServer(self.server);
  printf("stopped\n");
  return 0;
}
