# The records of a container runtime's log that are not a whole LINE each:
# time, stream, F for a line's end or P for a part of one, then the text.
# Prints how many lines they hold with RECORDS (the log's count of records,
# all others being whole lines), how many are not LINE or not on stdout, and
# 1 when the last, cut short, is a prefix of LINE.
#   grep -v WHOLE-LINE-PATTERN LOG | awk -v want=LINE -v records=N -f log.awk
{ others++ }
$2 != "stdout" { bad++; next }
{ held = held substr($0, length($1) + length($2) + length($3) + 4) }
$3 == "P" { next }
{ lines++; if (held != want) bad++; held = "" }
END { print records - others + lines, bad + 0, held == substr(want, 1, length(held)) }
