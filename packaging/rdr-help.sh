#!/usr/bin/env bash
# help2man reads rdr's help through this script (under the name rdr): the
# tool's own help, each command's help under a heading of its own, and the
# footer's exit codes as a list. RDR names the rdr executable.
set -euo pipefail
rdr() { (exec -a rdr "$RDR" "$@"); }

[[ ${1:-} == --help ]] || exit 1
exit_codes='/ Exit codes: /{s/ Exit codes: /\n\nExit status:\n  /;s/, \([0-9]\) /\n  \1   /g;s/\n  0 /\n  0   /;s/\.$//}'
rdr --help | sed -e "$exit_codes"
for command in $(rdr --help | sed -n '/^Subcommands:/,/^$/s/^  \([a-z0-9-]*\) .*/\1/p'); do
  printf '\nCommand %s:\n' "$command"
  rdr "$command" --help | sed -e '1{h;d}' -e '2{s/^Usage: /  /;G;s/\n/\n\n/}' -e '/^Options:$/d' -e '/^  -h,--help /d' \
    -e '/ Exit codes: /d'
done
