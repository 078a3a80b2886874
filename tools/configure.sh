# Sourced by the tools: configures a build folder with Ninja, through ccache where it is
# installed (a developer's machine, whose cache then serves CI as well).
#   tovix_configure DIR [CMAKE ARGS...]
tovix_configure() {
  local dir=$1
  shift
  local launcher=()
  if command -v ccache >/dev/null 2>&1; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(dirname "$(pwd)")} CCACHE_NOHASHDIR=1
  fi
  cmake -S . -B "$dir" -G Ninja "${launcher[@]}" "$@"
}
