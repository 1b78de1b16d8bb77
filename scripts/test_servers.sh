#!/usr/bin/env bash
# Throw-away PostgreSQL, MariaDB and ClickHouse servers for the integration tests and benchmarks.
#
#   scripts/test_servers.sh start   # initialise and start all three, on 127.0.0.1 only
#   scripts/test_servers.sh env     # print the export lines the tests read
#   scripts/test_servers.sh stop    # stop them and delete their data
#
# Data lives under $ZYL_TEST_SERVERS_DIR (default /tmp/zyl-test-servers). Ports default to
# 55432 (PostgreSQL), 53306 (MariaDB) and 58123 (ClickHouse's HTTP interface; its native and
# interserver ports are 59000 and 59009); set ZYL_TEST_PG_PORT / ZYL_TEST_MYSQL_PORT /
# ZYL_TEST_CLICKHOUSE_PORT / ZYL_TEST_CLICKHOUSE_TCP_PORT / ZYL_TEST_CLICKHOUSE_INTERSERVER_PORT
# to move them. The servers are tuned for speed over durability (no fsync): never keep data in
# them.
set -euo pipefail

dir="${ZYL_TEST_SERVERS_DIR:-/tmp/zyl-test-servers}"
pg_port="${ZYL_TEST_PG_PORT:-55432}"
my_port="${ZYL_TEST_MYSQL_PORT:-53306}"
ch_port="${ZYL_TEST_CLICKHOUSE_PORT:-58123}"
ch_tcp_port="${ZYL_TEST_CLICKHOUSE_TCP_PORT:-59000}"
ch_interserver_port="${ZYL_TEST_CLICKHOUSE_INTERSERVER_PORT:-59009}"
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

ch_query() {
  curl -sS --fail-with-body -u "default:$password" --data-binary "$1" "http://127.0.0.1:$ch_port/"
}

# ClickHouse from a config of ours: loopback only, data under $dir/clickhouse, the default
# user with a password, server time zone UTC. It runs as the clickhouse system user when
# started as root (the server refuses to run as root over data it does not own).
start_clickhouse() {
  local home="$dir/clickhouse"
  [[ -x /usr/sbin/clickhouse-server ]] ||
    { echo "clickhouse-server not found (install clickhouse-server)" >&2; exit 1; }
  command -v curl >/dev/null || { echo "curl not found (install curl)" >&2; exit 1; }
  if ch_query "SELECT 1" >/dev/null 2>&1; then
    echo "ClickHouse $(ch_query "SELECT version()") on 127.0.0.1:$ch_port"
    return 0
  fi
  mkdir -p "$home/data" "$home/tmp" "$home/user_files" "$home/format_schemas"
  cat >"$home/config.xml" <<XML
<?xml version="1.0"?>
<yandex>
  <logger>
    <level>warning</level>
    <log>$home/server.log</log>
    <errorlog>$home/server.err.log</errorlog>
    <size>100M</size>
    <count>1</count>
  </logger>
  <listen_host>127.0.0.1</listen_host>
  <http_port>$ch_port</http_port>
  <tcp_port>$ch_tcp_port</tcp_port>
  <interserver_http_port>$ch_interserver_port</interserver_http_port>
  <path>$home/data/</path>
  <tmp_path>$home/tmp/</tmp_path>
  <user_files_path>$home/user_files/</user_files_path>
  <format_schema_path>$home/format_schemas/</format_schema_path>
  <users_config>$home/users.xml</users_config>
  <default_profile>default</default_profile>
  <default_database>default</default_database>
  <timezone>UTC</timezone>
  <mark_cache_size>268435456</mark_cache_size>
  <uncompressed_cache_size>268435456</uncompressed_cache_size>
  <max_concurrent_queries>100</max_concurrent_queries>
  <mlock_executable>false</mlock_executable>
</yandex>
XML
  cat >"$home/users.xml" <<XML
<?xml version="1.0"?>
<yandex>
  <profiles><default><max_memory_usage>2000000000</max_memory_usage></default></profiles>
  <users>
    <default>
      <password>$password</password>
      <networks><ip>127.0.0.1</ip><ip>::1</ip></networks>
      <profile>default</profile>
      <quota>default</quota>
    </default>
  </users>
  <quotas>
    <default>
      <interval>
        <duration>3600</duration><queries>0</queries><errors>0</errors><result_rows>0</result_rows>
        <read_rows>0</read_rows><execution_time>0</execution_time>
      </interval>
    </default>
  </quotas>
</yandex>
XML
  chmod 600 "$home/users.xml"
  local owner
  owner="$(owner_of clickhouse)"
  chown -R "$owner" "$home"
  # The shell records its own pid, then becomes the server.
  as_owner "$owner" sh -c 'echo $$ >"$1/server.pid"; exec /usr/sbin/clickhouse-server \
    --config-file="$1/config.xml" >"$1/stdout.log" 2>&1' sh "$home" </dev/null >/dev/null 2>&1 &
  for _ in $(seq 1 120); do
    ch_query "SELECT 1" >/dev/null 2>&1 && break
    sleep 0.5
  done
  ch_query "SELECT 1" >/dev/null || { echo "ClickHouse did not start; see $home" >&2; exit 1; }
  ch_query "CREATE DATABASE IF NOT EXISTS $db" >/dev/null
  echo "ClickHouse $(ch_query "SELECT version()") on 127.0.0.1:$ch_port"
}

stop_clickhouse() {
  local pidfile="$dir/clickhouse/server.pid"
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
export ZYL_TEST_CLICKHOUSE_HOST=127.0.0.1
export ZYL_TEST_CLICKHOUSE_PORT=$ch_port
export ZYL_TEST_CLICKHOUSE_USER=default
export ZYL_TEST_CLICKHOUSE_PASSWORD=$password
export ZYL_TEST_CLICKHOUSE_DB=$db
ENV
}

case "${1:-}" in
  start)
    mkdir -p "$dir"
    chmod 755 "$dir"
    start_pg
    start_mysql
    start_clickhouse
    print_env >"$dir/env.sh"
    ;;
  stop)
    stop_pg
    stop_mysql
    stop_clickhouse
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
