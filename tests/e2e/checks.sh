# Shared by the end-to-end runners of both programs (run-scenario.sh here, under Wine, and
# ../e2e-linux/run-scenario.sh, under umockdev): the scenario file's sections, waiting, the
# shape of the unit's wire log, and the checks made after the steps.
# Expects: scenario (the scenario file), out (the output folder), name (for messages).

# The lines of a section of the scenario, comments and blank lines left out.
section() {
    awk -v want="[$1]" '/^[ \t]*(#|$)/ { next } /^\[/ { in_section = ($0 == want); next }
                        in_section { sub(/^[ \t]+/, ""); sub(/[ \t\r]+$/, ""); print }' "$scenario"
}
rest() { [ "$1" = "${1#* }" ] && echo "" || echo "${1#* }"; }

# Ends the run as failed, with what the program printed, what the unit saw, and what the side
# that played the unit reported (any *-error.txt in the output folder).
fail() {
    trap - ERR
    echo "FAIL [$name]: $*"
    echo "--- standard output"
    tr -d '\r' <"$out/stdout.txt" 2>/dev/null || true
    echo "--- wire: $(wire_shape | cut -c1-400)"
    cat "$out"/*-error.txt 2>/dev/null || true
    if [ -s "$out/stderr.txt" ]; then
        echo "--- standard error (last lines)"
        tail -n 20 "$out/stderr.txt" | tr -d '\r'
        echo
    fi
    echo "--- output in $out"
    exit 1
}

wait_until() {  # DESCRIPTION COMMAND...: retries the command for up to two minutes
    local what=$1
    shift
    local deadline=$((SECONDS + 120))
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || fail "timed out waiting for $what"
        sleep 0.1
    done
}

# The requests in a wire log (wire.log, or the file given) as runs of tokens
# KIND[:fail|:gone][@FIRST][*N] (see the runners).
wire_shape() {
    local log=${1:-$out/wire.log}
    [ -f "$log" ] || return 0
    awk '
        function hex(s,   i, v) { v = 0; s = tolower(s)
            for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
            return v }
        function flush() { if (count > 0) printf "%s%s%s%s", sep, token, (first > 0 ? "@" first : ""),
                                                  (count > 1 ? "*" count : ""); if (count > 0) sep = " "; count = 0 }
        /^[0-9]/ {
            t = $2 ($4 == "ok" ? "" : ":" $4)
            numbered = ($2 == "upload" || $2 == "download")
            block = numbered ? hex(substr($3, 7, 2) substr($3, 5, 2)) : 0
            if (count > 0 && t == token && (!numbered || block == last + 1)) { count++; last = block; next }
            flush(); token = t; count = 1; first = block; last = block; next
        }
        /^left / { flush(); printf "%sleft:%s", sep, $2; sep = " " }
        END { flush(); print "" }' "$log"
}

# The lines of the Nth [unit] section (from 1) of a scenario with several units.
unit_section() {
    awk -v want="$1" '/^[ \t]*(#|$)/ { next }
                      /^\[/ { n += ($0 == "[unit]"); in_section = ($0 == "[unit]" && n == want); next }
                      in_section { sub(/^[ \t]+/, ""); sub(/[ \t\r]+$/, ""); print }' "$scenario"
}

# The name of a [run] check for unit N: the check itself for the first unit, CHECK-N for others.
for_unit() { [ "$2" = 1 ] && echo "$1" || echo "$1-$2"; }

# The size in bytes of the image a scenario is about: the one its unit holds ("image embedded N"),
# or for a blank unit the one it is to end up holding ("stored embedded N"). Read from the image
# file, so that the scenarios hold for any sound images the program was built with.
image_size() {  # [UNIT]: the first unit's by default
    local unit=${1:-1} id
    id=$(unit_section "$unit" | sed -n 's/^image embedded \([0-9]*\).*/\1/p')
    [ -n "$id" ] || id=$(section run | sed -n "s/^$(for_unit stored "$unit") embedded \([0-9]*\)\$/\1/p")
    [ -n "$id" ] && stat -c %s "${TAVIK_IMAGES:?}/firmware-$id.bin"
}

# The [run] lines of a check (wire, progress) as one line of tokens, with the counts of that image
# replaced by their values: B, its blocks of 64 bytes (the data chunks of a download, the progress
# range), and R, the reads of a whole read-back: B, or B + 1 when the image ends with a whole block
# (a read of no bytes then ends it). So "download*B+1", "upload*R", "range B", "1..R".
# Fails when a count is used and there is no image to count. A second argument: of that unit.
expected_tokens() {
    local tokens size
    tokens=$(section run | sed -n "s/^$1\\( \\|\$\\)//p" | tr '\n' ' ' | sed 's/ *$//')
    if [[ $tokens =~ (^|[^A-Za-z])[BR]([^A-Za-z]|$) ]]; then
        size=$(image_size "${2:-1}") && [ -n "$size" ] || return 1
        tokens=$(B=$(((size + 63) / 64)) R=$((size / 64 + 1)) perl -pe '
            s/(?<![A-Za-z])([BR])\+1(?![0-9])/$ENV{$1} + 1/ge;
            s/(?<![A-Za-z])([BR])(?![A-Za-z0-9])/$ENV{$1}/g' <<<"$tokens")
    fi
    echo "$tokens"
}

# The checks of the [run] section made once the steps are done: standard output (log), the
# requests the unit answered (wire), and the image it holds at the end (stored).
check_outputs() {
    section run | sed -n 's/^log+\{0,1\}\( \|$\)//p' >"$out/expected-stdout.txt"
    # In log lines the counts are written {B} and {R}, apart from the words of the text.
    if grep -q '{[BR]}' "$out/expected-stdout.txt"; then
        local size
        size=$(image_size) && [ -n "$size" ] || fail "log counts blocks, but names no image to count"
        B=$(((size + 63) / 64)) R=$((size / 64 + 1)) perl -pi -e 's/\{([BR])\}/$ENV{$1}/g' \
            "$out/expected-stdout.txt"
    fi
    tr -d '\r' <"$out/stdout.txt" >"$out/stdout-lines.txt"
    # A "log+" line stands for one or more of it in a row: the tries to open a unit that is not
    # ready yet each write their line, and how many fail depends on the moment the program looks.
    local repeated
    while IFS= read -r repeated; do
        grep -qxF -- "$repeated" "$out/stdout-lines.txt" || fail "no line \"$repeated\" in standard output"
        awk -v line="$repeated" '$0 == line && previous == line { next } { print; previous = $0 }' \
            "$out/stdout-lines.txt" >"$out/stdout-lines.tmp"
        mv "$out/stdout-lines.tmp" "$out/stdout-lines.txt"
    done < <(section run | sed -n 's/^log+ //p')
    diff -u "$out/expected-stdout.txt" "$out/stdout-lines.txt" >"$out/stdout.diff" ||
        fail "standard output differs: $(cat "$out/stdout.diff")"

    if section run | grep -q '^wire\( \|$\)'; then
        local expected actual
        expected=$(expected_tokens wire) || fail "wire counts blocks, but names no image to count"
        actual=$(wire_shape)
        check_wire wire "$actual" "$expected"
    fi
    check_stored stored "$out/unit-image-start.bin" "$out/unit-image.bin"
    # The further units of a scenario with several: wire-N and stored-N.
    local unit expected actual
    for ((unit = 2; unit <= $(grep -c '^\[unit\]' "$scenario"); unit++)); do
        if section run | grep -q "^wire-$unit\( \|\$\)"; then
            expected=$(expected_tokens "wire-$unit" "$unit") ||
                fail "wire-$unit counts blocks, but names no image to count"
            actual=$(wire_shape "$out/wire-$unit.log")
            check_wire "wire-$unit" "$actual" "$expected"
        fi
        check_stored "stored-$unit" "$out/unit-image-start-$unit.bin" "$out/unit-image-$unit.bin"
    done
}

# The wire check named CHECK ("wire", "wire-2"): the shape ACTUAL is EXPECTED, or, when the
# scenario says "repeated-CHECK TOKENS", those tokens once or more, then EXPECTED (a unit that
# other processes identify side by side, as often as they find it free).
check_wire() {
    local repeated rest
    repeated=$(section run | sed -n "s/^repeated-$1 //p")
    if [ -z "$repeated" ]; then
        [ "$2" = "$3" ] || fail "$1: \"$2\", expected \"$3\""
        return 0
    fi
    rest=" $2"
    [ "${rest% $3}" != "$rest" ] || fail "$1: \"$2\" does not end with \"$3\""
    rest=${rest% $3}
    while [ "${rest#" $repeated"}" != "$rest" ]; do rest=${rest#" $repeated"}; done
    [ "$rest" = "" ] && [ "${2#"$repeated"}" != "$2" ] ||
        fail "$1: \"$2\", expected \"$repeated\" once or more, then \"$3\""
}

# The stored check named CHECK ("stored", "stored-2") of the images at the start and the end.
check_stored() {
    local stored
    stored=$(section run | sed -n "s/^$1 //p")
    case $stored in
        "") ;;
        start) cmp -s "$2" "$3" || fail "the unit's image changed ($1)" ;;
        "embedded "*) cmp "${TAVIK_IMAGES:?}/firmware-${stored#embedded }.bin" "$3" ||
            fail "the unit does not hold image ${stored#embedded } ($1)" ;;
        *) fail "unknown stored check: $stored" ;;
    esac
}
