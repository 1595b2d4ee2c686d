# A throwaway PostgreSQL cluster for the demo and the benchmarks, sourced by them: made in a
# folder of its own and run as an unprivileged user when started as root (the server refuses
# root), on a free loopback port, its socket in the folder.
#   pg_throwaway_start       starts it in a new folder under /tmp (one the server's user can
#                            reach); sets PG_DIR, PG_PORT and PG_SUPERUSER_URL (postgres, trust)
#   pg_throwaway_remove      stops it and removes its folder
#   pg_throwaway_ctl ARGS    pg_ctl on it (stop -m fast, start again with pg_throwaway_restart)
#   pg_throwaway_psql ARGS   psql as its superuser over the socket
pg_throwaway_bin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -1)
pg_throwaway_as=()

pg_throwaway_ctl() {
  "${pg_throwaway_as[@]}" "$pg_throwaway_bin/pg_ctl" -D "$PG_DIR/data" -l "$PG_DIR/server.log" -w \
    "$@" >/dev/null
}

pg_throwaway_restart() {
  pg_throwaway_ctl -o "-p $PG_PORT -k $PG_DIR -c listen_addresses=127.0.0.1" start
}

pg_throwaway_psql() {
  "$pg_throwaway_bin/psql" -h "$PG_DIR" -p "$PG_PORT" -U postgres -qAt "$@"
}

pg_throwaway_remove() {
  pg_throwaway_ctl stop -m immediate 2>/dev/null || true
  rm -rf "$PG_DIR"
}

pg_throwaway_start() {
  PG_DIR=$(mktemp -d /tmp/reflash-pg.XXXXXX)
  if [ "$(id -u)" -eq 0 ]; then
    chown nobody:nogroup "$PG_DIR"
    chmod 755 "$PG_DIR"
    pg_throwaway_as=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
  fi
  PG_PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  "${pg_throwaway_as[@]}" "$pg_throwaway_bin/initdb" -D "$PG_DIR/data" -U postgres -A trust >/dev/null
  pg_throwaway_restart
  PG_SUPERUSER_URL="postgresql://postgres@127.0.0.1:$PG_PORT"
}
