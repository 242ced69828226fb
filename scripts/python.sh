# Sourced by the scripts of this folder: finds the CPython interpreters of the
# machine.

# Prints the path of the newest CPython of version 3.12 or later, with its C
# headers, found on PATH or under a pyenv root (PYENV_ROOT, and .pyenv in the
# home folder of every user that this user can read); prints nothing if there
# is none. Interpreters that are the same program as one of the arguments are
# left out. pyenv's shims are not followed: each of them runs whichever
# version pyenv selects, and the versions themselves are searched.
newest_cpython() {
  local -a candidates=() roots=() excluded=()
  local dir home root path real
  local IFS=:
  for dir in $PATH; do
    [[ -n $dir && $dir != */shims ]] && candidates+=("$dir"/python3 "$dir"/python3.*)
  done
  unset IFS
  roots=("${PYENV_ROOT:-}" "${HOME:-}/.pyenv" /root/.pyenv /home/*/.pyenv)
  while IFS=: read -r _ _ _ _ _ home _; do
    roots+=("$home/.pyenv")
  done < <(getent passwd 2>/dev/null || cat /etc/passwd)
  for root in "${roots[@]}"; do
    [[ $root == /* && -d $root/versions ]] && candidates+=("$root"/versions/*/bin/python3.*)
  done
  for path in "$@"; do
    excluded+=("$(readlink -f "$path" 2>/dev/null)")
  done

  local -A seen=()
  local best="" best_version=0 info
  for path in "${candidates[@]}"; do
    # python3, python3.13 and the like, not python3.13-config or python3.13t-gdb.py
    [[ ${path##*/} =~ ^python3(\.[0-9]+)?$ && -f $path && -x $path ]] || continue
    real=$(readlink -f "$path") || continue
    [[ -z ${seen[$real]:-} ]] || continue
    seen[$real]=1
    [[ " ${excluded[*]} " == *" $real "* ]] && continue
    # "cpython 3 13 0 1": implementation, version, and whether Python.h is there.
    info=$(timeout 20 "$path" -I -c '
import os, sys, sysconfig
headers = os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
print(sys.implementation.name, *sys.version_info[:3], int(headers))' </dev/null 2>/dev/null) || continue
    local name major minor micro headers
    read -r name major minor micro headers <<<"$info"
    [[ $name == cpython && $major == 3 && $minor -ge 12 ]] || continue
    if [[ $headers != 1 ]]; then
      echo "note: $path (CPython $major.$minor.$micro) has no C headers; not used" >&2
      continue
    fi
    local version=$((minor * 1000 + micro))
    if ((version > best_version)); then
      best=$path
      best_version=$version
    fi
  done
  [[ -n $best ]] && echo "$best"
  return 0
}
