#!/usr/bin/env bash
# help2man reads rdr's help through this script (under the name rdr): the
# tool's own help, each command's help under a heading of its own, and the
# footer's exit codes as a list. RDR names the rdr executable.
set -euo pipefail
rdr() { (exec -a rdr "$RDR" "$@"); }

# CLI11 runs an option, its "Needs:" and "Excludes:" and its description
# together on one line when they do not fit; this puts each clause on a line
# of its own after the description (the build marks those lines as breaks).
clauses_apart() {
  perl -ne '
    sub flush { print map { " " x 30 . "$_\n" } @held; @held = () }
    flush() if @held && !/^ {20,}\S/;
    if (/^(  -\S.*?)((?: (?:Needs|Excludes): --\S+(?: --\S+)*)+)(?: +(\S.*))?$/) {
      my ($option, $clauses, $description) = ($1, $2, $3);
      @held = $clauses =~ /((?:Needs|Excludes): --\S+(?: --\S+)*)/g;
      print "$option\n";
      print " " x 30 . "$description\n" if defined $description;
      next;
    }
    print;
    END { flush() }'
}

[[ ${1:-} == --help ]] || exit 1
exit_codes='/ Exit codes: /{s/ Exit codes: /\n\nExit status:\n  /;s/, \([0-9]\) /\n  \1   /g;s/\n  0 /\n  0   /;s/\.$//}'
rdr --help | sed -e "$exit_codes"
for command in $(rdr --help | sed -n '/^Subcommands:/,/^$/s/^  \([a-z0-9-]*\) .*/\1/p'); do
  printf '\nCommand %s:\n' "$command"
  rdr "$command" --help | sed -e '1{h;d}' -e '2{s/^Usage: /  /;G;s/\n/\n\n/}' -e '/^Options:$/d' -e '/^  -h,--help /d' \
    -e '/ Exit codes: /d' | clauses_apart
done
