#!/usr/bin/env bash
# The demo of the main job: make a small sample capture with the project's
# frame generator, then compile a filter, match the capture, record a log,
# dump it and export its frames back as pcap. Run after building into build/.
set -euo pipefail
bin=${1:-build/tools}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
filter='((TCP SD=80) | (UDP SD=53)) & (IP SRC=10.0.0.0/8)'
run() { echo "\$ $*"; "$@"; echo; }

run "$bin/zeriza-sample" "$work/sample.pcap"
run "$bin/zeriza" compile "$filter"
run "$bin/zeriza" short '10.0.0.1:domain'
run "$bin/zeriza" match "$filter" -r "$work/sample.pcap" -w "$work/passed.pcap"
run "$bin/zeriza" record -r "$work/sample.pcap" -w "$work/capture.log" "$filter"
run "$bin/zeriza" dump -q "$work/capture.log"
run "$bin/zeriza" export "$work/capture.log" -w "$work/exported.pcap"
if command -v tcpdump >/dev/null; then
  run tcpdump -nn -r "$work/exported.pcap"
fi
