#!/usr/bin/env bash
# Installs what is needed, builds the release preset, makes the example's source files and runs
# the example project twice: the second run, after a day of new and changed orders, is
# incremental. Then shows a few rows of the results.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
# BREK (words, split on blanks) runs another brek instead of building one, e.g. an unpacked
# release tarball's bin/brek under qemu-arm (scripts/test_package.sh).
if [[ -n "${BREK:-}" ]]; then
  read -r -a brek <<<"$BREK"
else
  "$root/scripts/bootstrap.sh"
  cmake --preset release >/dev/null
  cmake --build --preset release -j "$(nproc)" --target brek
  brek=("$root/build/release/app/brek")
fi
shop="$root/examples/shop"
seed="$root/examples/seed"

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

step "Source data: orders in a DuckDB file, customers in a SQLite file"
rm -rf "$shop/data" "$shop/.zyl" "$shop/target" "$shop/logs" \
       "$seed/sales/.zyl" "$seed/crm/.zyl"
mkdir -p "$shop/data"
"${brek[@]}" run --project-dir "$seed/sales" --vars "{batch: 1}"
"${brek[@]}" run --project-dir "$seed/crm"

step "Models of the shop and how each will run"
"${brek[@]}" ls --project-dir "$shop"

step "Seeds: country regions from a CSV file, loaded into the warehouse (DuckDB)"
"${brek[@]}" seed --project-dir "$shop"

step "First run"
"${brek[@]}" run --project-dir "$shop" --threads 2

show() {
  sqlite3 -header -column "$shop/data/reporting.sqlite" \
    "SELECT country, region, customers, orders, revenue FROM revenue_by_country ORDER BY country;"
}
step "Revenue by country, on the reporting target (SQLite)"
show

step "Snapshot: the customers' history, on the reporting target (all rows current)"
"${brek[@]}" snapshot --project-dir "$shop"

step "A day later: 10 new orders, 6 orders cancelled, one customer moved"
"${brek[@]}" run --project-dir "$seed/sales" --vars "{batch: 2}"
"${brek[@]}" run --project-dir "$seed/crm" --vars "{batch: 2}"

step "Second run: stg_orders copies and merges only the changed orders"
"${brek[@]}" run --project-dir "$shop" --threads 2

step "Revenue by country after the second run"
show

step "Second snapshot: customer 3's old version is closed and a new one opened"
"${brek[@]}" snapshot --project-dir "$shop"
sqlite3 -header -column "$shop/data/reporting.sqlite" \
  "SELECT id, name, country, brek_valid_from, brek_valid_to FROM customers_snapshot
   WHERE id = 3 ORDER BY brek_valid_from;"

step "Data tests, each on the target of its model (one warns on purpose: cancelled orders)"
"${brek[@]}" test --project-dir "$shop"

step "brek build: seeds, models, snapshots and tests in graph order"
"${brek[@]}" build --project-dir "$shop" --threads 2
