#!/usr/bin/env bash
# Creates the demo's checking-service database: one account with host, domain, prefix and
# category (list) rules, so that each kind of decision can be watched from the browser.
#
# usage: checkingservice/demo-setup.sh DB_FILE [PVCHECKCTL]
#   PVCHECKCTL defaults to build/native/checkingservice/pvcheckctl.
# Then: pvcheckd --db DB_FILE --port 8880
#   checking address for the filter: http://127.0.0.1:8880/cgi-bin/checker
#   account name "pupil", password "demo"
set -euo pipefail

db=${1:?usage: demo-setup.sh DB_FILE [PVCHECKCTL]}
root=$(cd "$(dirname "$0")/.." && pwd)
ctl=${2:-$root/build/native/checkingservice/pvcheckctl}
[ -x "$ctl" ] || { echo "demo-setup: $ctl not found (build pvcheckctl first)" >&2; exit 2; }

rm -f "$db" "$db-wal" "$db-shm"
run() { "$ctl" --db "$db" "$@" > /dev/null; }

run init
echo demo | run account add pupil --password-stdin --policy allow
# Host rule: exactly this host, not its neighbours.
run rule add --global forbid host games.example.com
# Domain rule: the domain and every subdomain...
run rule add --global forbid domain casino.example
# ...except one path the pupil may read (the account's own rules come first).
run rule add --account pupil allow prefix casino.example/help/
# Prefix rule: one part of a site.
run rule add --global forbid prefix example.org/private/
# Category: a named list attached to the account.
run list create social
printf '%s\n' '# social networks and chat' social.example chat.example.net 'host:www.friends.example' \
  | "$ctl" --db "$db" list import social - > /dev/null
run list attach social --account pupil forbid
# Unknown names and wrong passwords: allowed, as a fresh filter without a service would.
run account policy '*' allow

cat << EOF
demo database $db ready; account "pupil", password "demo"
  forbidden: http://games.example.com/ (host), http://www.casino.example/ (domain),
             http://example.org/private/x (prefix), http://social.example/,
             http://www.chat.example.net/ (list "social")
  allowed:   http://casino.example/help/rules (account exception), http://www.example.com/
EOF
