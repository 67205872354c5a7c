# Help and refusals that read alike in every script. Sourced after the
# script has set `program` (its name as typed, e.g. scripts/platforms) and
# defined help_text, which prints its usage line(s), a blank line, what it
# does, and last its exit statuses.
#
#   show_help                 help_text on stdout; exits 0
#   refuse MESSAGE            "$program: MESSAGE" and the usage line(s) on
#                             stderr; exits 2
#   unknown WHAT WORD NAME... refuses WORD, naming the NAME nearest to it:
#                             "$program: unknown WHAT WORD (the nearest: NAME)"
#   nearest WORD NAME...      prints the NAME nearest to WORD: the fewest
#                             characters inserted, removed or replaced, the
#                             first NAME on a tie

show_help() {
  help_text
  exit 0
}

refuse() {
  {
    echo "$program: $1"
    help_text | sed '/^$/q' | sed '/^$/d'
  } >&2
  exit 2
}

nearest() {
  awk -v word="$1" 'BEGIN {
    best = ""; least = -1
    for (n = 2; n < ARGC; n++) {
      name = ARGV[n]; a = length(word); b = length(name)
      for (j = 0; j <= b; j++) row[j] = j
      for (i = 1; i <= a; i++) {
        diagonal = row[0]; row[0] = i
        for (j = 1; j <= b; j++) {
          above = row[j]
          cost = diagonal + (substr(word, i, 1) != substr(name, j, 1))
          if (row[j] + 1 < cost) cost = row[j] + 1
          if (row[j - 1] + 1 < cost) cost = row[j - 1] + 1
          row[j] = cost; diagonal = above
        }
      }
      if (least < 0 || row[b] < least) { least = row[b]; best = name }
    }
    print best
  }' "$@"
}

unknown() {
  what=$1 word=$2
  shift 2
  refuse "unknown $what $word (the nearest: $(nearest "$word" "$@"))"
}
