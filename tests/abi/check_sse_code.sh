#!/bin/sh
# check_sse_code.sh OBJDUMP LIBRARY NAMESPACE
# For a 32-bit x86 plug-in built for processors without SSE2: fails when a
# function outside NAMESPACE (C++ namespace, as "ns::") uses an SSE or MMX
# register or an SSE2-only instruction, so that the library loads and runs on
# such a processor, or when no function in NAMESPACE does (the vector kernel
# is missing).
set -eu
tool=$1
lib=$2
space=$3
listing=$("$tool" -d -C --no-show-raw-insn "$lib")
# "<function>: instructions" for every instruction that needs SSE, SSE2 or MMX.
hits=$(echo "$listing" | awk '
  /^[0-9a-f]+ <.*>:$/ { name = substr($0, index($0, "<") + 1); sub(/>:$/, "", name); next }
  /%xmm|%mm[0-7]|\t(movnti|lfence|mfence|clflush|sfence)/ { count[name]++ }
  END { for (n in count) print count[n] "\t" n }')
outside=$(echo "$hits" | grep -v -F "$space::" | grep -v '^$' || true)
inside=$(echo "$hits" | grep -F "$space::" || true)
if [ -n "$outside" ]; then
  echo "$lib: SSE code outside $space:: (instructions, function):" >&2
  echo "$outside" >&2
  exit 1
fi
if [ -z "$inside" ]; then
  echo "$lib: no SSE code in $space:: at all" >&2
  exit 1
fi
echo "$lib: SSE code only in $space::"
echo "$inside"
