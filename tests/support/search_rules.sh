# Sourced by the scripts that give a program folder its rules.

# backslashed PATH: the path as Search.cfg writes it, each "/" as "\".
backslashed() { printf '%s' "$1" | tr / '\\'; }

# search_rule NAME SEARCH TYPE EXEC FOLDER...: one condition of Search.cfg, CR LF ended. Each
# FOLDER is its name, "/" and its path ("pics//tmp/saved", or "//tmp/saved" without a name);
# the path's "/" are written as "\", as the file keeps them.
search_rule() {
  local name=$1 search=$2 type=$3 exec=$4 folder
  shift 4
  printf 'Name=%s\r\nSearchString=%s\r\n' "$name" "$search"
  for folder in "$@"; do
    printf 'Folder=%s/%s\r\n' "${folder%%/*}" "$(backslashed "${folder#*/}")"
  done
  printf 'Type= %s\r\nExecType= %s\r\n[end]\r\n' "$type" "$exec"
}
