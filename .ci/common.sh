# Sourced by the scripts in .ci/: the list of programs, and the installation
# of what a fresh Debian 12 machine lacks.

# The names in .ci/programs, one a line.
ci_programs() {
  grep -v -e '^#' -e '^[[:space:]]*$' "$(dirname "${BASH_SOURCE[0]}")/programs"
}

# ci_install [--no-install-recommends] PACKAGE...
# Installs those of the Debian packages that are missing, without asking
# (CI runs as root with no input).
ci_install() {
  local options=() missing=() package
  if [[ ${1-} == --no-install-recommends ]]; then
    options+=("$1")
    shift
  fi
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
      || missing+=("$package")
  done
  if ((${#missing[@]})); then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q </dev/null
    apt-get install -y -q "${options[@]}" "${missing[@]}" </dev/null
  fi
}
