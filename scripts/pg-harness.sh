#!/usr/bin/env bash
# A throw-away PostgreSQL 15 cluster for the site library's backend tests.
#
#   pg-harness.sh start          starts a cluster in a new temporary directory and prints the
#                                environment (export lines) for the tests: eval "$(pg-harness.sh start)"
#   pg-harness.sh stop [DIR]     stops the cluster in DIR (default $DORMEX_PG_DIR) and removes DIR
#   pg-harness.sh run CMD ARG... starts a cluster, runs CMD with the environment set, then stops
#                                and removes the cluster whatever happens; exits with CMD's status
#
# The cluster listens on 127.0.0.1 only, on a free port, with password authentication over TCP.
# It runs as the `postgres` user when this script runs as root (the server refuses root). An ODBC
# data source for the same database is set up in the cluster's directory (ODBCSYSINI/ODBCINI).
#
# Environment given to the tests: DORMEX_PG_HOST, DORMEX_PG_PORT, DORMEX_PG_DB, DORMEX_PG_USER,
# DORMEX_PG_PASSWORD, DORMEX_ODBC_DSN, ODBCSYSINI, ODBCINI, and DORMEX_PG_DIR (for stop).
set -euo pipefail

PG_BIN=${PG_BIN:-/usr/lib/postgresql/15/bin}
ODBC_DRIVER=${ODBC_DRIVER:-/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so}
DB_NAME=dormex_test
DB_USER=dormex
DSN_NAME=dormex_test

die() { echo "pg-harness: $*" >&2; exit 1; }

# Runs a server program as the cluster's owner.
as_owner() {
    if [ "$(id -u)" -eq 0 ]; then
        runuser -u postgres -- "$@"
    else
        "$@"
    fi
}

port_in_use() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# Starts the cluster; writes the environment to $dir/env and prints it.
start_cluster() {
    [ -x "$PG_BIN/initdb" ] || die "PostgreSQL 15 server programs not found in $PG_BIN"
    [ -f "$ODBC_DRIVER" ] || die "ODBC driver not found: $ODBC_DRIVER"
    local dir
    # Under /tmp rather than $TMPDIR: the server's user must be able to reach the directory.
    dir=$(mktemp -d "${DORMEX_PG_TMP:-/tmp}/dormex-pg.XXXXXX")
    chmod 755 "$dir"
    if [ "$(id -u)" -eq 0 ]; then
        id postgres >/dev/null 2>&1 || die "user postgres is missing"
        chown postgres: "$dir"
    fi
    # The cluster's password: random per cluster, so no test can depend on a fixed one.
    local password
    password="pw$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')"
    printf '%s\n' "$password" >"$dir/pwfile"
    [ "$(id -u)" -eq 0 ] && chown postgres: "$dir/pwfile"
    chmod 600 "$dir/pwfile"

    as_owner "$PG_BIN/initdb" -D "$dir/data" -U "$DB_USER" --pwfile="$dir/pwfile" \
        --auth-local=trust --auth-host=scram-sha-256 -E UTF8 --locale=C.UTF-8 \
        >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; rm -rf "$dir"; die "initdb failed"; }
    rm -f "$dir/pwfile"

    local port attempt started=0
    for attempt in $(seq 1 20); do
        port=$((20000 + (RANDOM * 32768 + RANDOM) % 40000))
        port_in_use "$port" && continue
        # Durability is pointless for a throw-away cluster; turning it off keeps tests fast.
        if as_owner "$PG_BIN/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 30 \
            -o "-c listen_addresses=127.0.0.1 -c port=$port -c unix_socket_directories=$dir \
                -c fsync=off -c synchronous_commit=off -c full_page_writes=off \
                -c max_connections=100" start >/dev/null 2>&1; then
            started=1
            break
        fi
    done
    if [ "$started" -ne 1 ]; then
        cat "$dir/server.log" >&2 2>/dev/null || true
        rm -rf "$dir"
        die "could not start the server (after $attempt attempts)"
    fi

    as_owner "$PG_BIN/createdb" -h "$dir" -p "$port" -U "$DB_USER" "$DB_NAME" \
        || { stop_cluster "$dir"; die "createdb failed"; }

    cat >"$dir/odbcinst.ini" <<EOF
[DormexPostgreSQL]
Description=PostgreSQL ODBC driver (Unicode) for the Dormex tests
Driver=$ODBC_DRIVER
EOF
    cat >"$dir/odbc.ini" <<EOF
[$DSN_NAME]
Driver=DormexPostgreSQL
Servername=127.0.0.1
Port=$port
Database=$DB_NAME
EOF
    chmod 644 "$dir/odbcinst.ini" "$dir/odbc.ini"

    cat >"$dir/env" <<EOF
export DORMEX_PG_DIR='$dir'
export DORMEX_PG_HOST='127.0.0.1'
export DORMEX_PG_PORT='$port'
export DORMEX_PG_DB='$DB_NAME'
export DORMEX_PG_USER='$DB_USER'
export DORMEX_PG_PASSWORD='$password'
export DORMEX_ODBC_DSN='$DSN_NAME'
export ODBCSYSINI='$dir'
export ODBCINI='$dir/odbc.ini'
EOF
    cat "$dir/env"
}

stop_cluster() {
    local dir=${1:-${DORMEX_PG_DIR:-}}
    [ -n "$dir" ] || die "stop: no cluster directory given and DORMEX_PG_DIR is not set"
    case "$dir" in
        */dormex-pg.*) ;;
        *) die "stop: $dir is not a harness directory" ;;
    esac
    if [ -f "$dir/data/postmaster.pid" ]; then
        as_owner "$PG_BIN/pg_ctl" -D "$dir/data" -m immediate -w -t 30 stop >/dev/null 2>&1 || true
    fi
    rm -rf "$dir"
}

cmd=${1:-}
[ $# -gt 0 ] && shift
case "$cmd" in
    start)
        start_cluster
        ;;
    stop)
        stop_cluster "${1:-}"
        ;;
    run)
        [ $# -gt 0 ] || die "run: no command given"
        env_text=$(start_cluster)
        eval "$env_text"
        trap 'stop_cluster "$DORMEX_PG_DIR"' EXIT
        trap 'exit 130' INT TERM
        set +e
        "$@"
        status=$?
        set -e
        exit "$status"
        ;;
    *)
        sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//' >&2
        exit 2
        ;;
esac
