# Prints the part of a Debian machine-readable copyright file that covers
# some of its files: each Files paragraph that names a path matching the
# regular expression `files` (and not `skip`), then the stand-alone License
# paragraphs that hold the text of the licences those paragraphs only name.
#   awk -v files=REGEX [-v skip=REGEX] -f copyright-part.awk COPYRIGHT
BEGIN { RS = ""; FS = "\n" }
$1 ~ /^License:/ {  # a stand-alone licence text
  name = $1; sub(/^License:[ \t]*/, "", name); text[name] = $0; next
}
$1 !~ /^Files:/ { next }
{
  paths = ""; in_files = 0; license = ""; inline = 0
  for (i = 1; i <= NF; i++) {
    if ($i ~ /^Files:/) { in_files = 1; paths = substr($i, 7); continue }
    if ($i ~ /^[^ \t]/) in_files = 0
    if (in_files) paths = paths " " $i
    if ($i ~ /^License:/) {
      license = $i; sub(/^License:[ \t]*/, "", license)
      inline = i < NF && $(i + 1) ~ /^[ \t]/
    }
  }
  n = split(paths, p, /[ \t]+/); wanted = 0
  for (i = 1; i <= n; i++)
    if (p[i] ~ files && (skip == "" || p[i] !~ skip)) wanted = 1
  if (!wanted) next
  out[++parts] = $0
  if (!inline) {
    m = split(license, names, /[ \t]+(and|or)[ \t]+/)
    for (i = 1; i <= m; i++) if (!(names[i] in needed)) { needed[names[i]] = 1; order[++k] = names[i] }
  }
}
END {
  for (i = 1; i <= parts; i++) printf "%s\n\n", out[i]
  for (i = 1; i <= k; i++)
    if (order[i] in text) printf "%s\n\n", text[order[i]]
    else { print "copyright-part.awk: no text for the licence " order[i] > "/dev/stderr"; exit 1 }
}
