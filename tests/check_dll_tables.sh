#!/bin/sh
# Fails unless the DLL exports exactly the fourteen functions the public header declares, imports
# from Windows system DLLs only, and it and the tool carry their names and the project's version.
#   check_dll_tables.sh DLL OBJDUMP HEADER VERSION TOOL
dll=$1 objdump=$2 header=$3 version=$4 tool=$5
dump=$("$objdump" -p "$dll") || { echo "cannot read $dll"; exit 1; }
fail=0

exports=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | sort | tr '\n' ' ')
declared=$(sed -n 's/^PEL_IPC_API .*[ *]\(PEL_[A-Za-z]*\)(.*/\1/p' "$header" | sort | tr '\n' ' ')
if [ "$exports" != "$declared" ] || [ "$(echo $exports | wc -w)" != 14 ]; then
  printf 'exports:  %s\ndeclared: %s\n' "$exports" "$declared"
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

# The version resource's strings, each key followed by its value (the cross binutils' strings).
for pair in "$dll:FileVersion:$version" "$dll:OriginalFilename:pel_ipc.dll" \
  "$tool:ProductVersion:$version" "$tool:OriginalFilename:pelipc.exe"; do
  file=${pair%%:*} rest=${pair#*:}
  value=$("${objdump%objdump}strings" -el "$file" | grep -A1 -x "${rest%%:*}" | sed -n 2p)
  [ "$value" = "${rest#*:}" ] || { echo "$file: ${rest%%:*} is '$value'"; fail=1; }
done

[ $fail = 0 ] && echo "exports: $exports; imports: $(echo $imports); versions $version"
exit $fail
