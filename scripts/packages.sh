# Sourced by the scripts of this folder: installs, with apt-get, whichever of
# the Debian packages named as arguments are missing, and npm if there is no
# npm command (it may come with a Node.js installed from elsewhere).
install_missing_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  command -v npm >/dev/null || missing+=(npm)
  ((${#missing[@]})) || return 0
  echo "installing: ${missing[*]}"
  local sudo_cmd=()
  [[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
}
