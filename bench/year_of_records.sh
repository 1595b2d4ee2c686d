#!/usr/bin/env bash
# A year of a busy line for the benchmarks: UPDATES updates (a start and an end record each, in
# the station's own record shape) spread over 365 days and 16 ports, one rotated log per day in
# DIR, as station "line-3" writes them.
# usage: bench/year_of_records.sh UPDATES DIR
set -euo pipefail
# One camera in 50 is flashed twice, one update in 40 fails, one port is worse than the rest.
awk -v n="$1" -v dir="$2" 'BEGIN {
  srand(23)
  sha = "d8142f737a8c0dd6a82ba5820cd100c5efb31e2138208930a38d6e901e98279d"
  split("check failed,erase failed,write failed,no camera", causes, ",")
  for (i = 0; i < n; i++) {
    day = int(i * 365 / n)
    date = strftime("%Y-%m-%d", 1765152000 + day * 86400, 1)
    file = dir "/station-" date ".jsonl"
    if (file != last) { if (last != "") close(last); last = file }
    port = sprintf("1-1.%d", i % 16 + 1)
    serial = sprintf("RF%08d", (i % 50 == 49) ? i - 1 : i)
    secs = (i * 7) % 86000
    start = sprintf("%sT%02d:%02d:%02d.%03dZ", date, secs / 3600, secs % 3600 / 60, secs % 60, i % 1000)
    took = 10 + (i % 13)
    e = secs + took
    end = sprintf("%sT%02d:%02d:%02d.%03dZ", date, e / 3600, e % 3600 / 60, e % 60, i % 1000)
    fail = (i % 40 == 7) || (port == "1-1.5" && i % 97 == 3)
    attempt = fail ? causes[i % 4 + 1] : "pass"
    id = "\"port\": \"" port "\", \"devicePath\": null, \"serial\": \"" serial "\", \"usbId\": \"1f3a:5c72\", \"bcdDevice\": \"0500\", \"host\": \"line-pc\", \"station\": \"line-3\", \"operator\": \"Ana\", \"toolVersion\": \"7.0.0.7\", \"imageSha256\": \"" sha "\", \"start\": \"" start "\""
    print "{\"record\": \"start\", " id "}" > file
    print "{\"record\": \"end\", " id ", \"end\": \"" end "\", \"after\": {\"serial\": \"" serial "\", \"usbId\": \"1f3a:5c72\", \"bcdDevice\": \"" (fail ? "0500" : "0601") "\"}, \"attempts\": [\"" attempt "\"], \"attemptTimes\": [{\"start\": \"" start "\", \"end\": \"" end "\"}], \"verdict\": \"" (fail ? "fail" : "pass") "\", \"requests\": {\"sent\": 21209, \"failed\": 0}, \"reason\": null, \"notes\": []}" > file
  }
}'
