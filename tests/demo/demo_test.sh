#!/usr/bin/env bash
# scripts/demo end to end over an already built tree: the lines, the verdict
# and the exit status it gives for one package.
#
#   demo_test.sh SOURCE_DIR BUILD_DIR WORK_DIR CASE
set -euo pipefail
source_dir=$1 work=$3 case=$4
export QIK_DEMO_BUILD=$2 QIK_DEMO_RUN=$work/run
demo_dir=$source_dir/examples/demo
rm -rf "$work"
mkdir -p "$work"

failures=0
expect() {  # DESCRIPTION COMMAND...: a check on the demo's output
  if ! "${@:2}"; then
    echo "FAILED: $1"
    failures=$((failures + 1))
  fi
}
lines_matching() { grep -c -- "$1" "$work/out.txt" || true; }
last_line_is() { [ "$(tail -n 1 "$work/out.txt")" = "$1" ]; }

run_demo() {  # PACKAGE_DIR [BENCH]: the demo's output in out.txt, its exit status in $status
  status=0
  "$source_dir/scripts/demo" "$@" >"$work/out.txt" 2>&1 || status=$?
  cat "$work/out.txt"
}

# The demo package copied to WORK/package, for a case to spoil.
package_copy() {
  cp -r "$demo_dir" "$work/package"
  echo "$work/package"
}

# The demo server with one setting changed: KEY... names it, VALUE is JSON.
bench_with() {  # KEY... VALUE
  python3 -c 'import json, sys
*keys, value, source, target = sys.argv[1:]
bench = json.load(open(source))
node = bench
for key in keys[:-1]:
    node = node[key]
node[keys[-1]] = json.loads(value)
json.dump(bench, open(target, "w"), indent=1)' "$@" "$demo_dir/bench.json" "$work/bench.json"
  echo "$work/bench.json"
}

case $case in
  demo_server)
    run_demo
    expect "exit status 0" [ "$status" -eq 0 ]
    expect "run 1 updates the six functions" [ "$(lines_matching ' updated  *code 0 Update success.')" -eq 6 ]
    expect "run 2 finds the six current" [ "$(lines_matching ' already current  code 0 Update success.')" -eq 6 ]
    expect "installed and target versions" grep -q 'eth4   4:0.0  updated .* family 2.3.0 -> 2.4.1, bc 2.10 -> 2.12, PHY 1.0105 -> 0x0106,' "$work/out.txt"
    expect "a disabled function shows its adapter's firmware" grep -q 'eth5 .* bc 2.10 -> 2.12' "$work/out.txt"
    expect "the plan comes before run 1" grep -q '^plan: 6 functions would be updated, 0 current, 2 left alone, 0 unknown; a reboot is needed$' "$work/out.txt"
    expect "the plan counts the add-in's commands" grep -q '^  plan eth4   4:0.0  update  *9 tool commands$' "$work/out.txt"
    expect "the plan names a function updated with its function 0" grep -q '^  plan eth1   1:0.1  updated with function 0$' "$work/out.txt"
    expect "the bench named" grep -qx "demo: bench: $demo_dir/bench.json" "$work/out.txt"
    expect "both runs verified" [ "$(lines_matching '^  verified: qik_plan --verify finds the 6 functions reported as updated installed as the table asks$')" -eq 2 ]
    expect "PASS verdict last" last_line_is "demo: PASS: run 1 ended with code 0 on all 6 adapter functions (6 updated, all verified), run 2 found them all current"
    ;;
  named_paths)
    # What the demo runs against, or why it runs nothing: PACKAGE [BENCH],
    # exit status, its line.
    package=$(package_copy)
    rm "$package/bench.json"
    while IFS='|' read -r args want line; do
      read -ra words <<<"$args"
      run_demo "${words[@]}"
      expect "$args: exit status $want" [ "$status" -eq "$want" ]
      expect "$args: says $line" grep -qxF -- "$line" "$work/out.txt"
      if [ "$want" -eq 2 ]; then expect "$args: no run" [ "$(lines_matching '^demo: working directory')" -eq 0 ]; fi
    done <<EOF
$demo_dir $work/no-such-bench.json|2|demo: no bench file $work/no-such-bench.json
$work/no-such-package|2|demo: no package directory $work/no-such-package
$package|0|demo: bench: $demo_dir/bench.json (the demo server: $package has no bench.json)
$package $demo_dir/bench.json|0|demo: bench: $demo_dir/bench.json
EOF
    ;;
  write_protected)
    run_demo "$demo_dir" "$(bench_with adapters addin writeProtect true)"
    expect "exit status 1" [ "$status" -eq 1 ]
    expect "the add-in's functions fail with code 5" [ "$(lines_matching 'eth[45] .* failed  *code 5 ')" -eq 4 ]
    expect "FAIL verdict last" last_line_is "demo: FAIL: run 1: eth4, eth5 failed; run 2: eth4, eth5 failed"
    ;;
  library_fails)
    # The utility exits 0 after a whole-run error such as this one.
    run_demo "$demo_dir" "$(bench_with library faults '[{"call": "AdpmInitialize"}]')"
    expect "exit status 1" [ "$status" -eq 1 ]
    expect "the whole-run code" grep -q '^  whole run: code 7 Update failure. Library could not be initialized.$' "$work/out.txt"
    expect "the plan says the run ends at once" grep -q '^plan: the run would end at once with code 7 ' "$work/out.txt"
    expect "FAIL verdict last" last_line_is "demo: FAIL: run 1 ended with code 7; run 2 ended with code 7"
    ;;
  capture_replayed)
    # The demo server captured with qik_capture, then tried in its place.
    mkdir -p "$work/server"
    cp "$demo_dir/bench.json" "$QIK_DEMO_BUILD/sim/libadpm_x64.so.6" "$QIK_DEMO_BUILD/sim/nicflsh" "$work/server"/
    (cd "$work/server" && "$QIK_DEMO_BUILD/src/driver/qik_capture" -o capture.json --nvram)
    run_demo
    original_verdict=$(tail -n 1 "$work/out.txt")
    run_demo "$demo_dir" "$work/server/capture.json"
    expect "exit status 0" [ "$status" -eq 0 ]
    expect "the capture is named as the bench" grep -qx "demo: bench: $work/server/capture.json, a capture made by qik_capture" "$work/out.txt"
    expect "the capture's verdict is the demo server's" last_line_is "$original_verdict"
    ;;
  image_older_than_table)
    package=$(package_copy)
    sed -i 's/^version=7.10$/version=7.09/' "$package/bc_7a01_0710.bin"
    run_demo "$package"
    expect "exit status 1" [ "$status" -eq 1 ]
    expect "run 2 programs the bootcode again" grep -q 'eth0   1:0.0  updated .* bc 7.09 -> 7.10' "$work/out.txt"
    expect "run 1 is not verified where the image installs less" grep -qx '  not verified: eth0 bc: 7.09 installed after the run, the table asks 7.10 (bc_7a01_0710.bin)' "$work/out.txt"
    expect "FAIL verdict last" last_line_is "demo: FAIL: run 1: eth0, eth1, eth2, eth3 not verified; run 2 still found eth0, eth1, eth2, eth3 not current; run 2: eth0, eth1, eth2, eth3 not verified"
    ;;
  module_file_missing)
    package=$(package_copy)
    rm "$package/modfam3.txt"
    run_demo "$package"
    expect "exit status 1" [ "$status" -eq 1 ]
    expect "qik_cfgcheck names the row" grep -q '^vxlkqfw.cfg:13: part-number module "modfam3.txt"' "$work/out.txt"
    expect "no run" [ "$(lines_matching '^Run ')" -eq 0 ]
    ;;
  *)
    echo "no case $case"; exit 2 ;;
esac
[ "$failures" -eq 0 ]
