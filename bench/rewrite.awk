# The same rewrite as jassrewrite, as a map maker could script it with awk: the peer it is measured
# against. Writes every line to standard output and, with CR LF, to tempwar3map.j.
{
  sub(/\r$/, "")
  if (substr($0, 1, 14) == "//!endusercode") {
    inside = 0
  } else if (inside) {
    if (substr($0, 1, 2) == "//") {
      $0 = "--" substr($0, 3)
    }
  } else if (substr($0, 1, 16) == "//!beginusercode") {
    inside = 1
  }
  print
  printf "%s\r\n", $0 > "tempwar3map.j"
}
