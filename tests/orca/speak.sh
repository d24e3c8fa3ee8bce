#!/bin/sh
# speech-dispatcher's generic module runs this for each utterance, its text on
# stdin: one line in the log as it starts, then as long as a voice would speak
# it (a tenth of a second a word), so a later utterance that interrupts it
# finds it still speaking, as for a user. Each line starts with the time.
text=$(tr '\n' ' ')
printf '%s %s\n' "$(date +%s.%N | cut -c1-14)" "$text" >> "$DUPLON_SPOKEN_LOG"
words=$(printf '%s' "$text" | wc -w)
sleep "$(awk -v w="$words" 'BEGIN { printf "%.2f", 0.1 * w }')"
