#!/bin/sh
# Compiler and linker launcher of the Windows shell check (WindowsShellCheck.cmake).
#   syntax_only.sh compile COMMAND...: runs the compile command in syntax-only mode and leaves
#     an empty object file as the build tool's stamp, so an unchanged source is not compiled
#     again.
#   syntax_only.sh link COMMAND...: links nothing (there is no Qt to link with); leaves empty
#     files where the program or library and its import library would be.
mode=$1
shift
outputs=
previous=
for argument in "$@"; do
  case $previous in -o) outputs="$outputs $argument" ;; esac
  case $argument in -Wl,--out-implib,*) outputs="$outputs ${argument#-Wl,--out-implib,}" ;; esac
  previous=$argument
done
if [ "$mode" = compile ]; then
  "$@" -fsyntax-only || exit $?
fi
for output in $outputs; do : >"$output"; done
