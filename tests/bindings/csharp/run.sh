#!/bin/sh
# Builds the C# binding and its test program under mono and runs it against the test library.
# usage: run.sh layout|behaviour LIBRARY WORKDIR
# Exits 77 (skipped, for ctest) where mono's compiler or runtime is not installed.
set -eu

if [ $# -ne 3 ]; then
    echo "usage: $0 layout|behaviour LIBRARY WORKDIR" >&2
    exit 2
fi
mode=$1
library=$2
workdir=$3
here=$(cd "$(dirname "$0")" && pwd)
source=$(cd "$here/../../.." && pwd)

for tool in mcs mono; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "$tool is not installed (apt-get install mono-mcs mono-runtime): skipped"
        exit 77
    fi
done

mkdir -p "$workdir"
workdir=$(cd "$workdir" && pwd)
case $library in
    /*) ;;
    *) library=$(pwd)/$library ;;
esac

binding=$source/bindings/csharp/Vxdmount.cs
# Alone and in C# 5 first: Windows PowerShell's Add-Type compiles the file with that compiler.
mcs -langversion:5 -warnaserror -target:library -out:"$workdir/Vxdmount.dll" "$binding"
mcs -warnaserror -out:"$workdir/BindingTest.exe" "$binding" "$here/BindingTest.cs"

# Mono resolves both the DLL's name and kernel32.dll (the cancel event's three calls) to the
# test library, which plays them on its simulated machine.
escaped=$(printf '%s' "$library" | sed 's/&/\&amp;/g; s/"/\&quot;/g; s/</\&lt;/g')
cat >"$workdir/BindingTest.exe.config" <<EOF
<configuration>
  <dllmap dll="vxdmount" target="$escaped"/>
  <dllmap dll="kernel32.dll" target="$escaped"/>
</configuration>
EOF

if [ "$mode" = layout ]; then
    exec mono "$workdir/BindingTest.exe" layout
fi
exec mono "$workdir/BindingTest.exe" "$mode" "$source/tests/bindings/scenarios"
