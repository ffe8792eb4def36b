# Sourced by the scripts that fetch from Debian's archive (run from the
# repository root).
#
# debian_mirror
#   Prints the Debian mirror to use: NORBE_CI_MIRROR if set, else the first
#   archive URI of this machine's apt sources (deb822 .sources files first,
#   then one-line .list files), leaving out the security archive, which
#   carries no release suites. NORBE_CI_APT_ETC (default /etc/apt) is the
#   configuration directory read. Prints nothing if none is found.

debian_mirror() {
  if [ -n "${NORBE_CI_MIRROR:-}" ]; then
    echo "${NORBE_CI_MIRROR%/}"
    return
  fi
  local etc=${NORBE_CI_APT_ETC:-/etc/apt} file uri
  for file in "$etc"/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    # Each stanza's URIs: field holds one or more URIs.
    for uri in $(sed -n -E 's/^URIs:[[:space:]]*//p' "$file"); do
      case $uri in *security*) continue ;; esac
      echo "${uri%/}"
      return
    done
  done
  for file in "$etc"/sources.list "$etc"/sources.list.d/*.list; do
    [ -f "$file" ] || continue
    # deb [options] URI SUITE COMPONENT...
    uri=$(sed -n -E '/security/d; s/^[[:space:]]*deb[[:space:]]+(\[[^]]*\][[:space:]]+)?([^[:space:]]+).*/\2/p' "$file" | head -n 1)
    if [ -n "$uri" ]; then
      echo "${uri%/}"
      return
    fi
  done
}
