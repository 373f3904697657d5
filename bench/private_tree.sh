# Private trees for benchmark runs, sourced by the scripts that compare
# Trovix with Recoll. Each run of either tool gets a tree of its own under
# $WORK: HOME, the XDG folders and the Recoll configuration folder, so that
# no run sees the user's index, settings or another run's files.

# A fresh tree for one run; prints its folder.
new_tree() {
  local tree
  tree=$(mktemp -d "$WORK/tree.XXXXXX")
  mkdir -p "$tree"/{home,config,data,state,runtime,recoll}
  chmod 700 "$tree"/*
  echo "$tree"
}
# The environment of a tree: its HOME, XDG folders and Recoll configuration,
# no display. A command run as "${TREE_ENV[@]}" cmd & keeps the pid $! (env
# execs it), so it can be stopped by that pid.
tree_env() {
  TREE_ENV=(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u TROVIX_MACHINE_HIVE
    -u TROVIX_USER_HIVE HOME="$1/home" XDG_CONFIG_HOME="$1/config" XDG_DATA_HOME="$1/data"
    XDG_STATE_HOME="$1/state" XDG_RUNTIME_DIR="$1/runtime" RECOLL_CONFDIR="$1/recoll")
}
# Runs a command in a tree's environment.
in_tree() {
  tree_env "$1"
  shift
  "${TREE_ENV[@]}" "$@"
}
# Installs the Debian packages named (none: nothing), with sudo when not root.
install_packages() {
  (($#)) || return 0
  local sudo=()
  ((EUID == 0)) || sudo=(sudo)
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -o DPkg::Lock::Timeout=600 "$@"
}
