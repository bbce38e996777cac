/* pel_ipc: local message channel between the processes of one desktop product, over named pipes.
 * A host uses the library only through the fourteen PEL_ functions below and the four callbacks
 * of PelIpcCallback. Valid C and C++. */
#ifndef PEL_IPC_H
#define PEL_IPC_H

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

/* Hosts import from pel_ipc.dll; the library itself exports through its .def
 * file, and white-box tests link the static core (PEL_IPC_STATIC). */
#if defined(PEL_IPC_BUILD) || defined(PEL_IPC_STATIC)
#define PEL_IPC_API
#else
#define PEL_IPC_API __declspec(dllimport)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. One set of numbers serves the whole library. */
enum PelIpcResult {
  PEL_OK = 0,
  PEL_ERR_INVALID_ARG = 1,       /* missing or invalid argument */
  PEL_ERR_STATE = 3,             /* wrong state (closing, not connected, ...) */
  PEL_ERR_BAD_MAGIC = 4,         /* received message with a wrong magic */
  PEL_ERR_SHORT_MESSAGE = 5,     /* shorter than a header, or data before HELLO */
  PEL_ERR_TOO_LARGE = 7,         /* client payload above 716,800 bytes */
  PEL_ERR_BUFFER_TOO_SMALL = 8,  /* synchronous answer larger than the buffer */
  PEL_ERR_NO_CONNECTION = 9,     /* no connection with that id */
  PEL_ERR_NO_MEMORY = 10,        /* memory allocation failed */
  PEL_ERR_PIPE = 12,             /* pipe not created, connected or opened */
  PEL_ERR_EVENT = 13,            /* synchronous-call event not created or reset */
  PEL_ERR_IOCP = 14,             /* completion port not created */
  PEL_ERR_BIND = 15,             /* pipe not bound to the completion port */
  PEL_ERR_TOO_MANY_PENDING = 16, /* 20 operations already outstanding */
  PEL_ERR_TIMEOUT = 17,          /* time-out or failed wait */
  PEL_CLOSE_SERVER = 18,         /* code the server passes to OnClose */
  PEL_ERR_PIPE_HELD = 18,        /* client connect while it still holds a pipe */
  PEL_ERR_READ = 19,             /* a read could not be posted */
  PEL_ERR_WRITE = 20             /* a message could not be written */
};

/* Limits and times fixed by the wire protocol. */
#define PEL_IPC_MAX_SERVER_PAYLOAD 5242880u /* per server message */
#define PEL_IPC_MAX_CLIENT_PAYLOAD 716800u  /* per client message */
#define PEL_IPC_WAIT_MS 2000u               /* blocking connect, sync call */
#define PEL_IPC_NO_CONN_ID 0xFFFFFFFFu      /* client id before any HELLO */

/* Callbacks run on the library's threads; OnRecv's payload is valid only during the call. */
typedef int32_t (*PelOnConnect)(uint32_t conn_id, void* user_context);
typedef int32_t (*PelOnSend)(uint32_t conn_id, void* user_context);
typedef int32_t (*PelOnRecv)(uint32_t conn_id, const uint8_t* data, uint32_t size,
                             void* user_context);
typedef int32_t (*PelOnClose)(uint32_t conn_id, int32_t code, void* user_context);

/* The host's callback table; copied whole at creation. */
typedef struct PelIpcCallback {
  PelOnConnect OnConnect;
  PelOnSend OnSend;
  PelOnRecv OnRecv;
  PelOnClose OnClose;
  void* UserContext;
  char LogName[256]; /* tag for the log-file name; may be empty */
} PelIpcCallback;

#ifdef __cplusplus
static_assert(sizeof(PelIpcCallback) == 296, "PelIpcCallback is 296 bytes");
static_assert(offsetof(PelIpcCallback, OnSend) == 8, "OnSend at 8");
static_assert(offsetof(PelIpcCallback, OnRecv) == 16, "OnRecv at 16");
static_assert(offsetof(PelIpcCallback, OnClose) == 24, "OnClose at 24");
static_assert(offsetof(PelIpcCallback, UserContext) == 32, "UserContext at 32");
static_assert(offsetof(PelIpcCallback, LogName) == 40, "LogName at 40");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(PelIpcCallback) == 296, "PelIpcCallback is 296 bytes");
_Static_assert(offsetof(PelIpcCallback, LogName) == 40, "LogName at 40");
#endif

typedef struct PelIpcServerOpaque* PelIpcServerHandle;
typedef struct PelIpcClientOpaque* PelIpcClientHandle;

PEL_IPC_API PelIpcServerHandle PEL_CreateIpcServer(const PelIpcCallback* callback);
PEL_IPC_API void PEL_DestroyIpcServer(PelIpcServerHandle server);
PEL_IPC_API int32_t PEL_StartIpcServer(PelIpcServerHandle server, const char* name);
PEL_IPC_API int32_t PEL_CloseIpcServer(PelIpcServerHandle server);
PEL_IPC_API int32_t PEL_IpcServerCloseConnection(PelIpcServerHandle server, uint32_t conn_id);
PEL_IPC_API int32_t PEL_IpcServerSendData(PelIpcServerHandle server, uint32_t conn_id, bool sync,
                                          const uint8_t* data, int32_t size);

PEL_IPC_API PelIpcClientHandle PEL_CreateIpcClient(const PelIpcCallback* callback);
PEL_IPC_API void PEL_DestroyIpcClient(PelIpcClientHandle client);
PEL_IPC_API int32_t PEL_ConnectIpcClient(PelIpcClientHandle client, const char* name);
PEL_IPC_API int32_t PEL_AsyncConnectIpcClient(PelIpcClientHandle client, const char* name);
PEL_IPC_API int32_t PEL_DisconnectIpcClient(PelIpcClientHandle client);
PEL_IPC_API bool PEL_IsIpcClientConnected(PelIpcClientHandle client);
PEL_IPC_API int32_t PEL_IpcClientSendData(PelIpcClientHandle client, const uint8_t* data,
                                          int32_t size);
PEL_IPC_API int32_t PEL_IpcClientSyncCall(PelIpcClientHandle client, const uint8_t* request,
                                          uint32_t request_size, uint8_t* answer,
                                          uint32_t* answer_size);

#ifdef __cplusplus
}
#endif

#endif /* PEL_IPC_H */
