#!/bin/sh
# The sample plug-in's command: prints what it was given, one argument a
# line between brackets, then the variables Trellon set for it.
printf 'Arguments: %s\n' "$#"
for argument in "$@"; do
    printf '  [%s]\n' "$argument"
done
printf 'SAMPLE_MESSAGE: [%s]\n' "$SAMPLE_MESSAGE"
echo 'Trellon variables:'
env | grep '^TRELLON_' | sort
echo 'This line went to standard error.' >&2
