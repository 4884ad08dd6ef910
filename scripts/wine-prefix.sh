# shellcheck shell=bash
# Sourced by the Wine scripts: finds the 64-bit Wine loader and makes and removes a private,
# throwaway Wine prefix, so that nothing here ever touches the user's own ~/.wine.
#
#   wine_prefix_create   makes a prefix in a new temporary folder, boots it once (the slow part,
#                        done once per run, never per test), selects the PulseAudio driver for
#                        winmm and keeps a wineserver running for it; exports WINEPREFIX.
#   wine_prefix_destroy  stops that wineserver and deletes the prefix.
#
# Debian's wine64 package installs the loader as /usr/lib/wine/wine64 and puts no wine64 on the
# PATH; its /usr/bin/wine prefers a 32-bit Wine, which cannot be installed here.

export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer prompts when a prefix is made: console programs need neither.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

wine_loader() {
    if [ -n "${TONARIUM_WINE:-}" ]; then
        echo "$TONARIUM_WINE"
    elif command -v wine64 >/dev/null 2>&1; then
        command -v wine64
    elif [ -x /usr/lib/wine/wine64 ]; then
        echo /usr/lib/wine/wine64
    else
        echo "wine64 not found: install it with scripts/install-deps.sh windows" >&2
        return 1
    fi
}

wine_server() {
    local loader
    loader=$(wine_loader) || return 1
    if [ -x "${loader%/*}/wineserver64" ]; then
        echo "${loader%/*}/wineserver64"
    elif [ -x "${loader%/*}/wineserver" ]; then
        echo "${loader%/*}/wineserver"
    else
        command -v wineserver
    fi
}

wine_prefix_create() {
    local loader server
    loader=$(wine_loader) || return 1
    server=$(wine_server) || return 1
    WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/tonarium-wine.XXXXXX") || return 1
    export WINEPREFIX
    # A server that outlives each program keeps the next start fast; it ends by itself a minute
    # after the last program, should this run be killed before it can stop the server.
    "$server" -p60
    if ! timeout 300 "$loader" wineboot --init </dev/null >/dev/null 2>&1; then
        echo "wine: the prefix $WINEPREFIX could not be booted" >&2
        return 1
    fi
    timeout 120 "$loader" reg add 'HKEY_CURRENT_USER\Software\Wine\Drivers' \
        /v Audio /t REG_SZ /d pulse /f </dev/null >/dev/null 2>&1 || return 1
}

wine_prefix_destroy() {
    [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ] || return 0
    local server
    if server=$(wine_server); then
        "$server" -k 2>/dev/null || true
        timeout 30 "$server" -w 2>/dev/null || true
    fi
    rm -rf "$WINEPREFIX"
    unset WINEPREFIX
}
