#!/usr/bin/env bash
# Throw-away PostgreSQL and MariaDB servers for the integration tests and benchmarks.
#
#   scripts/test_servers.sh start   # initialise and start both, on 127.0.0.1 only
#   scripts/test_servers.sh env     # print the export lines the tests read
#   scripts/test_servers.sh stop    # stop both and delete their data
#
# Data lives under $ZYL_TEST_SERVERS_DIR (default /tmp/zyl-test-servers). Ports default to
# 55432 (PostgreSQL) and 53306 (MariaDB); set ZYL_TEST_PG_PORT / ZYL_TEST_MYSQL_PORT to move
# them. Both servers are tuned for speed over durability (no fsync): never keep data in them.
set -euo pipefail

dir="${ZYL_TEST_SERVERS_DIR:-/tmp/zyl-test-servers}"
pg_port="${ZYL_TEST_PG_PORT:-55432}"
my_port="${ZYL_TEST_MYSQL_PORT:-53306}"
user="zyl_test"
password="zyl_test_pw"
db="zyl_test"

pg_bin="$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)"

# Runs a command as the owner of the server processes: servers refuse to run as root.
as_owner() {
  local owner="$1"
  shift
  if [[ "$(id -u)" == 0 ]]; then
    runuser -u "$owner" -- "$@"
  else
    "$@"
  fi
}

owner_of() {
  if [[ "$(id -u)" == 0 ]]; then echo "$1"; else id -un; fi
}

start_pg() {
  local data="$dir/pg/data" sock="$dir/pg/run" log="$dir/pg/server.log"
  [[ -n "$pg_bin" ]] || { echo "PostgreSQL binaries not found (install postgresql)" >&2; exit 1; }
  mkdir -p "$dir/pg"
  local owner
  owner="$(owner_of postgres)"
  if [[ ! -f "$data/PG_VERSION" ]]; then
    mkdir -p "$sock"
    printf '%s\n' "$password" >"$dir/pg/pwfile"
    chown -R "$owner" "$dir/pg"
    as_owner "$owner" "$pg_bin/initdb" -D "$data" -U "$user" --pwfile="$dir/pg/pwfile" \
      --auth-host=scram-sha-256 --auth-local=scram-sha-256 -E UTF8 --locale=C.UTF-8 >"$dir/pg/initdb.log"
    rm -f "$dir/pg/pwfile"
  fi
  if ! as_owner "$owner" "$pg_bin/pg_ctl" -D "$data" status >/dev/null 2>&1; then
    as_owner "$owner" "$pg_bin/pg_ctl" -D "$data" -l "$log" -w -t 60 start -o \
      "-c listen_addresses=127.0.0.1 -p $pg_port -c unix_socket_directories=$sock \
       -c fsync=off -c synchronous_commit=off -c full_page_writes=off \
       -c max_wal_size=2GB -c shared_buffers=256MB" >/dev/null
  fi
  PGPASSWORD="$password" "$pg_bin/psql" -h 127.0.0.1 -p "$pg_port" -U "$user" -d postgres -qtA \
    -c "SELECT 1 FROM pg_database WHERE datname = '$db'" | grep -q 1 ||
    PGPASSWORD="$password" "$pg_bin/createdb" -h 127.0.0.1 -p "$pg_port" -U "$user" "$db"
  echo "PostgreSQL $("$pg_bin/postgres" --version | awk '{print $3}') on 127.0.0.1:$pg_port"
}

stop_pg() {
  local data="$dir/pg/data"
  [[ -f "$data/PG_VERSION" ]] || return 0
  as_owner "$(owner_of postgres)" "$pg_bin/pg_ctl" -D "$data" -m fast -w stop >/dev/null 2>&1 || true
}

mysql_client() {
  mariadb --no-defaults -S "$dir/mysql/mysql.sock" -u root "$@"
}

start_mysql() {
  local data="$dir/mysql/data" log="$dir/mysql/server.log"
  command -v mariadbd >/dev/null || [[ -x /usr/sbin/mariadbd ]] ||
    { echo "mariadbd not found (install mariadb-server)" >&2; exit 1; }
  mkdir -p "$dir/mysql"
  local owner
  owner="$(owner_of mysql)"
  chown "$owner" "$dir/mysql"
  if [[ ! -d "$data/mysql" ]]; then
    mariadb-install-db --no-defaults --datadir="$data" --user="$owner" \
      --auth-root-authentication-method=normal --skip-test-db >"$dir/mysql/install.log" 2>&1
  fi
  if [[ ! -S "$dir/mysql/mysql.sock" ]] || ! mysql_client -e "SELECT 1" >/dev/null 2>&1; then
    rm -f "$dir/mysql/mysql.sock"
    local args=(--no-defaults --datadir="$data" --port="$my_port" --bind-address=127.0.0.1
      --socket="$dir/mysql/mysql.sock" --pid-file="$dir/mysql/mysqld.pid" --log-error="$log"
      --skip-name-resolve --local-infile=1 --character-set-server=utf8mb4
      --collation-server=utf8mb4_unicode_ci --innodb-flush-log-at-trx-commit=0
      --innodb-doublewrite=0 --innodb-buffer-pool-size=256M --max-allowed-packet=256M
      --skip-log-bin)
    if [[ "$(id -u)" == 0 ]]; then args+=(--user="$owner"); fi
    /usr/sbin/mariadbd "${args[@]}" >/dev/null 2>&1 &
    for _ in $(seq 1 120); do
      mysql_client -e "SELECT 1" >/dev/null 2>&1 && break
      sleep 0.5
    done
    mysql_client -e "SELECT 1" >/dev/null || { echo "MariaDB did not start; see $log" >&2; exit 1; }
  fi
  mysql_client <<SQL
CREATE DATABASE IF NOT EXISTS \`$db\` CHARACTER SET utf8mb4 COLLATE utf8mb4_unicode_ci;
CREATE USER IF NOT EXISTS '$user'@'127.0.0.1' IDENTIFIED BY '$password';
CREATE USER IF NOT EXISTS '$user'@'localhost' IDENTIFIED BY '$password';
GRANT ALL PRIVILEGES ON *.* TO '$user'@'127.0.0.1';
GRANT ALL PRIVILEGES ON *.* TO '$user'@'localhost';
FLUSH PRIVILEGES;
SQL
  echo "MariaDB $(/usr/sbin/mariadbd --version | awk '{print $3}') on 127.0.0.1:$my_port"
}

stop_mysql() {
  local pidfile="$dir/mysql/mysqld.pid"
  [[ -f "$pidfile" ]] || return 0
  local pid
  pid="$(cat "$pidfile")"
  kill "$pid" 2>/dev/null || true
  for _ in $(seq 1 60); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.5
  done
}

print_env() {
  cat <<ENV
export ZYL_TEST_PG_HOST=127.0.0.1
export ZYL_TEST_PG_PORT=$pg_port
export ZYL_TEST_PG_USER=$user
export ZYL_TEST_PG_PASSWORD=$password
export ZYL_TEST_PG_DB=$db
export ZYL_TEST_MYSQL_HOST=127.0.0.1
export ZYL_TEST_MYSQL_PORT=$my_port
export ZYL_TEST_MYSQL_USER=$user
export ZYL_TEST_MYSQL_PASSWORD=$password
export ZYL_TEST_MYSQL_DB=$db
ENV
}

case "${1:-}" in
  start)
    mkdir -p "$dir"
    chmod 755 "$dir"
    start_pg
    start_mysql
    print_env >"$dir/env.sh"
    ;;
  stop)
    stop_pg
    stop_mysql
    rm -rf "$dir"
    ;;
  env)
    print_env
    ;;
  *)
    echo "usage: $0 start|stop|env" >&2
    exit 2
    ;;
esac
