#!/bin/sh
# Fails unless the DLL exports exactly the fourteen PEL_ functions and
# imports from Windows system DLLs only.
dll=$1
objdump=${2:-x86_64-w64-mingw32-objdump}
dump=$("$objdump" -p "$dll") || { echo "cannot read $dll"; exit 1; }

exports=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | sort)
expected=$(sort <<'LIST'
PEL_AsyncConnectIpcClient
PEL_CloseIpcServer
PEL_ConnectIpcClient
PEL_CreateIpcClient
PEL_CreateIpcServer
PEL_DestroyIpcClient
PEL_DestroyIpcServer
PEL_DisconnectIpcClient
PEL_IpcClientSendData
PEL_IpcClientSyncCall
PEL_IpcServerCloseConnection
PEL_IpcServerSendData
PEL_IsIpcClientConnected
PEL_StartIpcServer
LIST
)
fail=0
if [ "$exports" != "$expected" ]; then
  echo "export table differs from the fourteen PEL_ functions:"
  printf '%s\n' "$exports" | diff - "$(printf '%s\n' "$expected" > /tmp/pel_expected.$$; echo /tmp/pel_expected.$$)"
  rm -f /tmp/pel_expected.$$
  fail=1
fi

imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' | tr 'A-Z' 'a-z' | sort -u)
[ -n "$imports" ] || { echo "no import table found"; fail=1; }
for lib in $imports; do
  case "$lib" in
    kernel32.dll | advapi32.dll | userenv.dll | msvcrt.dll | ntdll.dll | user32.dll | \
    ws2_32.dll | bcrypt.dll | api-ms-win-*.dll) ;;
    *) echo "imports a non-system DLL: $lib"; fail=1 ;;
  esac
done

if [ $fail = 0 ]; then
  echo "exports: $(printf '%s\n' "$exports" | wc -l) PEL_ functions; imports: $(echo $imports)"
fi
exit $fail
