# Sourced by the other scripts: where builds go. Build output stays out of the
# source tree; each checkout gets its own folder, so two clones never share one.
repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [[ -z "${BOXSIM_BUILD_ROOT:-}" ]]; then
  BOXSIM_BUILD_ROOT="${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/boxsim/$(basename "$repo_root")-$(printf %s "$repo_root" | cksum | cut -d' ' -f1)"
fi
export BOXSIM_BUILD_ROOT
