# Shared steps of the scripts in this folder. Source it; do not run it.
# shellcheck shell=bash
#
# The scripts run as root or as a normal user. Packages that are missing are installed through
# sudo; everything else (builds, private servers) belongs to whoever runs the script. A private
# server's administrator is the invoking system user, who logs in through the server's
# unix_socket authentication, so no pass phrase is stored anywhere.
#
# Clean-up goes through kelvane_at_exit, which runs on every way out of the script (normal end,
# failure under set -e, Ctrl-C, SIGTERM, SIGHUP). A script that sets its own `trap ... EXIT`
# replaces it, so use kelvane_at_exit instead.

KELVANE_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# What every script needs: the build, Qt (with its X11 platform for the window), the client
# library, libcrypto (the backups' checksums), the JSON library, a server and its client. The
# core packages of the server install no system service, so nothing starts or stays behind on
# the machine.
KELVANE_PACKAGES=(build-essential cmake pkg-config qt6-base-dev qt6-qpa-plugins libmariadb-dev
  libssl-dev nlohmann-json3-dev mariadb-server-core mariadb-client-core fonts-dejavu-core)
# What scripts/test needs on top: GoogleTest, the format check (git lists the files), the
# virtual display and xdotool to drive a real window, python3 (a window test drives a script
# with it), openssl (the TLS test makes its certificates) and the package test's
# tools (dpkg-shlibdeps in dpkg-dev, file, groff for the man page, desktop-file-validate).
# shellcheck disable=SC2034 # used by the scripts that source this file
KELVANE_TEST_PACKAGES=(libgtest-dev libgmock-dev clang-format git xvfb xauth xdotool python3 openssl
  dpkg-dev file groff-base desktop-file-utils)

# The server binaries live in /usr/sbin, which a normal user's PATH often lacks. Exported, so
# that tests starting servers of their own find them too.
case ":$PATH:" in *:/usr/sbin:*) ;; *) PATH="$PATH:/usr/sbin" ;; esac
export PATH

# The private servers' administrator: the invoking system user (see above).
KELVANE_ADMIN_USER="$(id -un)"
export KELVANE_ADMIN_USER

KELVANE_EXIT_HOOKS=()

# kelvane_at_exit COMMAND [ARGS...]: runs the command when the script ends, however it ends.
# Hooks run last registered first; a failing hook does not stop the others.
kelvane_at_exit() {
  if ((${#KELVANE_EXIT_HOOKS[@]} == 0)); then
    trap _kelvane_run_exit_hooks EXIT
    # An interrupted script leaves through the EXIT trap, so the hooks run then too.
    trap 'exit 130' INT
    trap 'exit 143' TERM
    trap 'exit 129' HUP
    # A reader that goes away (scripts/bench | head) must not end the script past its hooks.
    trap 'exit 141' PIPE
  fi
  KELVANE_EXIT_HOOKS+=("$(printf '%q ' "$@")")
}

# kelvane_cancel_exit COMMAND [ARGS...]: forgets a hook registered with the same words.
kelvane_cancel_exit() {
  local wanted i
  wanted="$(printf '%q ' "$@")"
  for i in "${!KELVANE_EXIT_HOOKS[@]}"; do
    if [[ "${KELVANE_EXIT_HOOKS[i]}" == "$wanted" ]]; then KELVANE_EXIT_HOOKS[i]=""; fi
  done
}

_kelvane_run_exit_hooks() {
  local status=$? i hook
  set +e
  for ((i = ${#KELVANE_EXIT_HOOKS[@]} - 1; i >= 0; i--)); do
    hook="${KELVANE_EXIT_HOOKS[i]}"
    KELVANE_EXIT_HOOKS[i]=""
    if [[ -n "$hook" ]]; then eval "$hook"; fi
  done
  exit "$status"
}

# Runs as root (through sudo when needed) with the package names as arguments. Package scripts
# must not start services meanwhile: a policy-rc.d that refuses every start is put in place for
# the install unless one exists already (which is then left exactly as it is), and only the one
# written here is removed again, also when apt-get fails or the install is interrupted. The lock
# keeps two of our scripts from racing over it; apt-get waits for any other apt run.
# (KELVANE_POLICY_RC_D names another path for the policy, to try this out safely.)
# shellcheck disable=SC2016 # expanded by the root shell
_kelvane_root_install='
set -eu
policy="${KELVANE_POLICY_RC_D:-/usr/sbin/policy-rc.d}"
marker="# Written by Kelvane'"'"'s scripts for the duration of a package install."
mkdir -p /run/lock
exec 8>/run/lock/kelvane-packages.lock
flock -w 900 8
written=0
remove_policy() {
  if [ "$written" = 1 ] && grep -qxF "$marker" "$policy" 2>/dev/null; then rm -f "$policy"; fi
}
trap remove_policy EXIT
trap "exit 130" INT
trap "exit 143" TERM
trap "exit 129" HUP
if [ ! -e "$policy" ] && [ ! -L "$policy" ]; then
  printf "#!/bin/sh\n%s\nexit 101\n" "$marker" >"$policy.kelvane-new"
  chmod 755 "$policy.kelvane-new"
  mv "$policy.kelvane-new" "$policy"
  written=1
fi
apt-get -o DPkg::Lock::Timeout=900 update -qq
apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "$@"
'

# kelvane_install_packages [EXTRA...]: installs whatever of KELVANE_PACKAGES and EXTRA is not
# installed yet; as a normal user through sudo. Nothing happens when all are there.
kelvane_install_packages() {
  local missing=() pkg
  for pkg in "${KELVANE_PACKAGES[@]}" "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$pkg")
    fi
  done
  ((${#missing[@]} > 0)) || return 0
  echo "Installing: ${missing[*]}"
  local as_root=()
  if ((EUID != 0)); then
    if ! command -v sudo >/dev/null; then
      echo "These Debian packages are missing: ${missing[*]}" >&2
      echo "Installing them needs root: run this script as root once, or install sudo." >&2
      return 1
    fi
    # sudo resets the environment, so what apt-get must see is handed over through env.
    as_root=(sudo)
  fi
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    KELVANE_POLICY_RC_D="${KELVANE_POLICY_RC_D:-/usr/sbin/policy-rc.d}" \
    bash -c "$_kelvane_root_install" kelvane-install "${missing[@]}"
}

# kelvane_build BUILD_DIR [cmake options...] [-- TARGET...]: configures and builds (all
# targets, or only those after --).
kelvane_build() {
  local dir="$1" options=() targets=()
  shift
  while (($# > 0)) && [[ "$1" != -- ]]; do
    options+=("$1")
    shift
  done
  if (($# > 0)); then
    shift
    targets=(--target "$@")
  fi
  cmake -S "$KELVANE_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${options[@]}" >/dev/null
  cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
}

# kelvane_stop_group PID: stops the process group PID leads (a build started with setsid), if
# it still runs.
kelvane_stop_group() {
  kill -- "-$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

# kelvane_admin_sql SOCKET ARGS...: the mariadb client as the server's administrator.
kelvane_admin_sql() {
  local socket="$1"
  shift
  mariadb --no-defaults --socket="$socket" -u"$KELVANE_ADMIN_USER" \
    --default-character-set=utf8mb4 "$@"
}

# kelvane_server_running DIR: prints the pid of the server kelvane_start_server started on
# DIR, if it still runs. The pid file alone could name an unrelated process after a reboot,
# so the process must also be a mariadbd on DIR's data.
kelvane_server_running() {
  local dir="$1" pid cmdline
  pid="$(cat "$dir/mysqld.pid" 2>/dev/null || true)"
  [[ "$pid" =~ ^[0-9]+$ ]] || return 0
  cmdline="$(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null || true)"
  if [[ "$cmdline" == *mariadbd*" --datadir=$dir/data "* ]]; then echo "$pid"; fi
}

# kelvane_start_server DIR: a private MariaDB in DIR (created on first use, reused after),
# Unix socket only, owned by and administered as the invoking user. Sets and exports
# KELVANE_SOCKET, MYSQL_UNIX_PORT and KELVANE_SERVER_PID, and creates the user kelvane@localhost
# (password "kelvane") with every privilege. The server is stopped when the script ends, also
# when the start fails; kelvane_keep_server KELVANE_SERVER_PID lets it outlive the script.
kelvane_start_server() {
  local dir="$1"
  mkdir -p "$dir"
  dir="$(cd "$dir" && pwd)"
  KELVANE_SOCKET="$dir/mysqld.sock"
  local user_opt=()
  # mariadbd refuses to run as root unless told to.
  if ((EUID == 0)); then user_opt=(--user=root); fi
  if [[ ! -d "$dir/data/mysql" ]]; then
    if ! mariadb-install-db --no-defaults --datadir="$dir/data" "${user_opt[@]}" \
      --auth-root-authentication-method=socket --auth-root-socket-user="$KELVANE_ADMIN_USER" \
      --skip-test-db >"$dir/install.log" 2>&1; then
      cat "$dir/install.log" >&2
      echo "mariadb-install-db failed in $dir/data" >&2
      return 1
    fi
  elif [[ ! -w "$dir/data" ]]; then
    echo "$dir/data belongs to another user ($(stat -c %U "$dir/data")); remove it or run" \
      "this script as that user." >&2
    return 1
  fi
  # Not attached to the script's output: a server that outlives the script (the demo's) must
  # not hold a pipe open. Its temporary files stay in its own folder: once, in a full test
  # run, one of its temporary tables vanished from the shared /tmp under a test.
  mkdir -p "$dir/tmp"
  mariadbd --no-defaults --datadir="$dir/data" --socket="$KELVANE_SOCKET" --skip-networking \
    --pid-file="$dir/mysqld.pid" --log-error="$dir/error.log" --tmpdir="$dir/tmp" \
    "${user_opt[@]}" \
    --character-set-server=utf8mb4 --collation-server=utf8mb4_general_ci \
    --innodb-buffer-pool-size=256M --innodb-flush-log-at-trx-commit=2 \
    --max-connections=500 </dev/null >>"$dir/server.out" 2>&1 &
  KELVANE_SERVER_PID=$!
  kelvane_at_exit kelvane_stop_server "$KELVANE_SERVER_PID"
  local i up=0 refusal=""
  for ((i = 0; i < 600; i++)); do
    if refusal="$(kelvane_admin_sql "$KELVANE_SOCKET" -e "SELECT 1" 2>&1 >/dev/null)"; then
      up=1
      break
    fi
    # Until the socket is there the client cannot connect (2002); any other refusal, such
    # as a denied login, will not go away by waiting.
    if [[ "$refusal" != *"ERROR 2002"* ]]; then break; fi
    if ! kill -0 "$KELVANE_SERVER_PID" 2>/dev/null; then break; fi
    sleep 0.2
  done
  if ((!up)); then
    echo "MariaDB in $dir did not let $KELVANE_ADMIN_USER in: $refusal" >&2
    echo "The end of its log:" >&2
    tail -n 20 "$dir/error.log" >&2 2>/dev/null || true
    return 1
  fi
  kelvane_admin_sql "$KELVANE_SOCKET" -e "
    CREATE USER IF NOT EXISTS 'kelvane'@'localhost' IDENTIFIED BY 'kelvane';
    GRANT ALL PRIVILEGES ON *.* TO 'kelvane'@'localhost' WITH GRANT OPTION;" || return 1
  export KELVANE_SOCKET KELVANE_SERVER_PID
  export MYSQL_UNIX_PORT="$KELVANE_SOCKET"
}

# kelvane_keep_server PID: the server started with that pid keeps running after the script.
kelvane_keep_server() {
  kelvane_cancel_exit kelvane_stop_server "$1"
}

# kelvane_sql ARGS...: the mariadb client on the private server as user kelvane, in utf8mb4
# (the demo data holds accents; another client character set would store them mangled).
kelvane_sql() {
  mariadb --no-defaults --socket="$KELVANE_SOCKET" -ukelvane -pkelvane \
    --default-character-set=utf8mb4 "$@"
}

# kelvane_create_database NAME [SQL_FILE...]: creates NAME afresh and loads the files into it.
kelvane_create_database() {
  local name="$1" file
  shift
  kelvane_sql -e "DROP DATABASE IF EXISTS \`$name\`; CREATE DATABASE \`$name\` CHARACTER SET utf8mb4"
  for file in "$@"; do
    kelvane_sql "$name" <"$file"
  done
}

# kelvane_write_config FILE DATABASE: a configuration file that points the program at
# DATABASE on the private server. Readable by its owner only: it holds the pass phrase.
kelvane_write_config() {
  (
    umask 077
    printf '[ZarfilesNdx]\r\nmdbserv=localhost\r\nmdbuser=kelvane\r\nmdbpass=kelvane\r\nmdbbase=%s\r\n' \
      "$2" >"$1"
  )
}

# kelvane_stop_server PID: stops a server this script started, and waits for it.
kelvane_stop_server() {
  local pid="$1"
  if [[ -n "$pid" ]] && kill -0 "$pid" 2>/dev/null; then
    kill "$pid" 2>/dev/null || true
    local i
    for ((i = 0; i < 300; i++)); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.2
    done
    if kill -0 "$pid" 2>/dev/null; then kill -9 "$pid" 2>/dev/null || true; fi
  fi
  # Reaped here when it is this shell's child, so the pid is really gone.
  wait "$pid" 2>/dev/null || true
  kelvane_cancel_exit kelvane_stop_server "$pid"
}
