#!/bin/sh
# Usage: check-win32-imports.sh <objdump> <program.exe>
# Passes when the program imports only from DLLs that come with Windows
# itself. A DLL of the compiler's runtime (libstdc++-6.dll,
# libgcc_s_dw2-1.dll, libwinpthread-1.dll) would have to be shipped beside
# the program, which is then no longer a program that runs on its own.
objdump=$1
program=$2
headers=$("$objdump" -p "$program") || exit 1
dlls=$(printf '%s\n' "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p')
if [ -z "$dlls" ]; then
    echo "no imports found in $program"
    exit 1
fi
status=0
for dll in $dlls; do
    case $(printf '%s' "$dll" | tr '[:upper:]' '[:lower:]') in
    kernel32.dll | msvcrt.dll | advapi32.dll | user32.dll | ntdll.dll)
        echo "imports $dll" ;;
    *)
        echo "imports $dll, which is not part of Windows"
        status=1 ;;
    esac
done
exit $status
