#!/usr/bin/env bash
# with_postgres.sh COMMAND...: runs COMMAND beside a PostgreSQL 15 of its own, made in a
# temporary folder and listening only on a Unix socket there (no TCP port), and stops it
# afterwards, also when COMMAND fails or this script is interrupted. COMMAND finds it through
# PV_TEST_PG (the socket folder; user postgres, trust authentication). As root, the server
# runs as the unprivileged user postgres, since PostgreSQL refuses to run as root.
set -uo pipefail
bin=${PV_PG_BIN:-/usr/lib/postgresql/15/bin}
dir=$(mktemp -d /tmp/pvpg-XXXXXX) || exit 1
as_owner=()
if [ "$(id -u)" -eq 0 ]; then
  chown postgres: "$dir"
  as_owner=(runuser -u postgres --)
fi
stop() {
  if [ -f "$dir/data/postmaster.pid" ]; then
    "${as_owner[@]}" "$bin/pg_ctl" -D "$dir/data" -m immediate -w -t 30 stop >/dev/null 2>&1
  fi
  rm -rf "$dir"
}
trap stop EXIT
trap 'exit 130' INT TERM HUP
"${as_owner[@]}" "$bin/initdb" -D "$dir/data" -U postgres -A trust -E SQL_ASCII --locale=C \
  --no-sync --no-instructions >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log"; exit 1; }
printf "listen_addresses = ''\nunix_socket_directories = '%s'\nfsync = off\n" "$dir" \
  >>"$dir/data/postgresql.conf"
# PV_TEST_PG_CTL: the command that stops and starts this server again ("$PV_TEST_PG_CTL stop").
cat >"$dir/ctl" <<CTL
#!/usr/bin/env bash
exec ${as_owner[*]} $bin/pg_ctl -D $dir/data -l $dir/server.log -w -t 60 -m fast "\$@"
CTL
chmod 755 "$dir/ctl"
"$dir/ctl" start >/dev/null || { cat "$dir/server.log"; exit 1; }
export PV_TEST_PG=$dir PV_TEST_PG_LOG=$dir/server.log PV_TEST_PG_CTL=$dir/ctl
"$@"
