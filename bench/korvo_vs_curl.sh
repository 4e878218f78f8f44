# What the HTTP and reader parts of the benchmark share (sourced by
# bench/http.sh and bench/reader.sh): waiting for a program's port, and
# timing `korvo print compact` against curl fetching the same reading.

# Waits up to ten seconds for the port a program writes into file, and
# prints it.
wait_for_port() {
  local file=$1
  for _ in $(seq 100); do
    [ -s "$file" ] && break
    sleep 0.1
  done
  head -n 1 "$file"
}

# Times `korvo print compact` through our session library against
# `curl -s <base>/items`, pinned to one core, alternately, and prints the
# medians, their ratio and the service's answer rate (the answer's bytes over
# curl's time) under the heading title; then how fast the session library
# decodes that answer once it is held (bench/reading_decode.cc).
#   korvo_against_curl BUILD_DIR CORE REPS BASE_URL TITLE
korvo_against_curl() {
  local dir=$1 cpu=$2 reps=$3 base=$4 title=$5
  local korvo_bytes curl_bytes r k c k_rss
  korvo_bytes=$("$dir/korvo" print compact addr "$base" dll "$dir/rfid_qel.kzm" | wc -c)
  local answer
  answer=$(mktemp)
  curl -s "$base/items" -o "$answer"
  curl_bytes=$(wc -c <"$answer")
  mapfile -t r < <(taskset -c "$cpu" "$dir/bench/measure" --reps "$reps" -- \
    "$dir/korvo" print compact addr "$base" dll "$dir/rfid_qel.kzm" :: \
    /usr/bin/curl -s "$base/items")
  read -r k _ _ k_rss <<<"${r[0]}"
  read -r c _ _ _ <<<"${r[1]}"
  awk -v title="$title" -v k="$k" -v c="$c" -v kb="$korvo_bytes" \
    -v cb="$curl_bytes" -v krss="$k_rss" -v reps="$reps" 'BEGIN {
    printf "%s, medians of %d):\n", title, reps
    printf "  korvo print compact: %.1f ms (%d bytes out, peak %d KiB)\n", k / 1e6, kb, krss
    printf "  curl GET /items:     %.1f ms (%d bytes of JSON): the service answers at %.0f MB/s\n", c / 1e6, cb, cb / (c / 1e3)
    printf "  ratio %.2f (target <= 1.3)\n", k / c }'
  taskset -c "$cpu" "$dir/bench/reading_decode" "$answer" "$reps"
  rm -f "$answer"
  echo
}
