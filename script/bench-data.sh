# Data sets of the packing figures, sourced by script/bench.d/*.sh.
# bench_data DIR SET: writes the data set SET into the folder DIR (made anew):
#   mixed  200 MB of log lines that vary as real ones do, some data that hardly
#          compresses (binary logs) and one log of a repeated line;
#   small  10,000 files of 1 KB.
bench_data() {
  local dir=$1 set=$2 i have
  rm -rf "$dir"
  mkdir -p "$dir"
  case $set in
  mixed)
    for i in $(seq 1 8); do
      awk -v seed="$i" -v lines=$((48000 * i)) 'BEGIN {
        srand(seed)
        split("INFO WARN ERROR DEBUG TRACE", level, " ")
        split("scanner updater service driver policy network", part, " ")
        for (n = 0; n < lines; n++)
          printf "2026-12-%02d %02d:%02d:%02d.%03d [%5d] %-5s %s: object %08x checked in %d ms, result %d\r\n",
            1 + n % 28, n / 3600 % 24, n / 60 % 60, n % 60, int(rand() * 1000), int(rand() * 65536),
            level[1 + int(rand() * 5)], part[1 + int(rand() * 6)], int(rand() * 4294967295), int(rand() * 500),
            int(rand() * 3)
      }' >"$dir/product$i.log"
    done
    head -c $((30 * 1024 * 1024)) /dev/urandom >"$dir/Application.evtx"
    head -c $((6 * 1024 * 1024)) /dev/urandom >"$dir/System.evtx"
    have=$(cat "$dir"/* | wc -c)
    [ "$have" -lt $((200 * 1024 * 1024)) ] || { echo "bench data over 200 MB" >&2; return 1; }
    (yes 'service heartbeat: state 4, queue empty' || true) | head -c $((200 * 1024 * 1024 - have)) >"$dir/heartbeat.log"
    ;;
  small)
    awk -v dir="$dir" 'BEGIN {
      srand(7)
      for (f = 1; f <= 10000; f++) {
        name = sprintf("%s/scan%05d.log", dir, f)
        text = ""
        while (length(text) < 1000)
          text = text sprintf("%05d %08x item %d verified\r\n", f, int(rand() * 4294967295), int(rand() * 100000))
        printf "%s", substr(text, 1, 1024) >name
        close(name)
      }
    }'
    ;;
  *) echo "bench_data: no data set $set" >&2; return 1 ;;
  esac
}

# bench_what SET: the data set's name in the tables.
bench_what() {
  case $1 in
    mixed) echo "200 MB of mixed logs" ;;
    small) echo "10,000 files of 1 KB" ;;
  esac
}
