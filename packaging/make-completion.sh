#!/usr/bin/env bash
# Writes the bash completion of a program from its --help, so that it offers exactly the options
# the program takes: every --option; after an option whose value is a list (<saver|tcp|video>)
# those words, after <FILE> file names, after <DIR> folders, after any other value nothing.
# Usage: make-completion.sh PROGRAM OUTPUT
set -euo pipefail
program="$1"
output="$2"
name="$(basename "$program")"
help="$("$program" --help)"

# Qt's option lines: "  -v, --version    Displays ...", "  --port <N>    TCP port ...".
re='^  (-[^- ,]+, )*(--[a-z0-9][a-z0-9-]*)( <([^>]*)>)?( {2,}|$)'
options=()
cases=""
free=()
while IFS= read -r line; do
    [[ $line =~ $re ]] || continue
    option="${BASH_REMATCH[2]}"
    value="${BASH_REMATCH[4]}"
    options+=("$option")
    case "$value" in
        "") ;;
        *"|"*) cases+="        $option) mapfile -t COMPREPLY < <(compgen -W '${value//|/ }' -- \"\$cur\"); return ;;"$'\n' ;;
        FILE) cases+="        $option) compopt -o filenames; mapfile -t COMPREPLY < <(compgen -f -- \"\$cur\"); return ;;"$'\n' ;;
        DIR) cases+="        $option) compopt -o filenames; mapfile -t COMPREPLY < <(compgen -d -- \"\$cur\"); return ;;"$'\n' ;;
        *) free+=("$option") ;;
    esac
done <<<"$help"
if [ ${#options[@]} -eq 0 ]; then
    echo "make-completion.sh: no options found in '$program --help'" >&2
    exit 1
fi
if [ ${#free[@]} -gt 0 ]; then
    cases+="        $(IFS='|'; echo "${free[*]}")) return ;;"$'\n'
fi

function="_deskcast_${name//[^a-zA-Z0-9_]/_}"
cat >"$output.tmp" <<COMPLETION
# bash completion for $name, generated from '$name --help' by deskcast's make-completion.sh
$function()
{
    local cur="\${COMP_WORDS[COMP_CWORD]}" prev="\${COMP_WORDS[COMP_CWORD-1]}"
    COMPREPLY=()
    case "\$prev" in
$cases    esac
    mapfile -t COMPREPLY < <(compgen -W '${options[*]}' -- "\$cur")
}
complete -F $function $name
COMPLETION
mv "$output.tmp" "$output"
