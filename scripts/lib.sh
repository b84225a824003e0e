# Shared steps of scripts/test, scripts/demo and scripts/bench. Source it; do not run it.
# shellcheck shell=bash

KELVANE_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
KELVANE_PACKAGES=(build-essential cmake pkg-config qt6-base-dev libmariadb-dev mariadb-server
  mariadb-client libgtest-dev libgmock-dev clang-format xvfb xauth fonts-dejavu-core)

# Installs the Debian packages that are missing (needs root on a fresh machine).
kelvane_install_packages() {
  local missing=() pkg
  for pkg in "${KELVANE_PACKAGES[@]}" "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$pkg")
    fi
  done
  if ((${#missing[@]} > 0)); then
    echo "Installing: ${missing[*]}"
    local sudo=()
    if ((EUID != 0)); then sudo=(sudo); fi
    "${sudo[@]}" apt-get update -qq
    # A freshly installed server must not be started by the package scripts.
    DEBIAN_FRONTEND=noninteractive RUNLEVEL=1 "${sudo[@]}" apt-get install -y -qq \
      --no-install-recommends "${missing[@]}"
  fi
}

# kelvane_build BUILD_DIR [cmake options...]
kelvane_build() {
  local dir="$1"
  shift
  cmake -S "$KELVANE_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
}

# kelvane_start_server DIR: a private MariaDB in DIR, Unix socket only. Sets and exports
# KELVANE_SOCKET and MYSQL_UNIX_PORT, and KELVANE_SERVER_PID. Creates the user
# kelvane@localhost (password "kelvane") with every privilege.
kelvane_start_server() {
  local dir="$1"
  mkdir -p "$dir"
  dir="$(cd "$dir" && pwd)"
  KELVANE_SOCKET="$dir/mysqld.sock"
  local user_opt=()
  if ((EUID == 0)); then user_opt=(--user=root); fi
  if [[ ! -d "$dir/data/mysql" ]]; then
    mariadb-install-db --no-defaults --datadir="$dir/data" "${user_opt[@]}" \
      --auth-root-authentication-method=socket --skip-test-db >"$dir/install.log" 2>&1 || {
      cat "$dir/install.log" >&2
      return 1
    }
  fi
  mariadbd --no-defaults --datadir="$dir/data" --socket="$KELVANE_SOCKET" --skip-networking \
    --pid-file="$dir/mysqld.pid" --log-error="$dir/error.log" "${user_opt[@]}" \
    --character-set-server=utf8mb4 --collation-server=utf8mb4_general_ci \
    --innodb-buffer-pool-size=256M --innodb-flush-log-at-trx-commit=2 \
    --max-connections=500 &
  KELVANE_SERVER_PID=$!
  local i
  for ((i = 0; i < 300; i++)); do
    if mariadb --no-defaults --socket="$KELVANE_SOCKET" -uroot -e "SELECT 1" >/dev/null 2>&1; then
      break
    fi
    if ! kill -0 "$KELVANE_SERVER_PID" 2>/dev/null; then
      echo "MariaDB did not start; its log:" >&2
      cat "$dir/error.log" >&2
      return 1
    fi
    sleep 0.2
  done
  mariadb --no-defaults --socket="$KELVANE_SOCKET" -uroot -e "
    CREATE USER IF NOT EXISTS 'kelvane'@'localhost' IDENTIFIED BY 'kelvane';
    GRANT ALL PRIVILEGES ON *.* TO 'kelvane'@'localhost' WITH GRANT OPTION;"
  export KELVANE_SOCKET KELVANE_SERVER_PID
  export MYSQL_UNIX_PORT="$KELVANE_SOCKET"
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

# kelvane_stop_server PID: stops the server this script started, and waits for it.
kelvane_stop_server() {
  local pid="$1"
  if [[ -n "$pid" ]] && kill -0 "$pid" 2>/dev/null; then
    kill "$pid"
    local i
    for ((i = 0; i < 300; i++)); do
      kill -0 "$pid" 2>/dev/null || return 0
      sleep 0.2
    done
    kill -9 "$pid" 2>/dev/null || true
  fi
}
