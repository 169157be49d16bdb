# The receive benchmark's figures as one PNG of four panels, from the tables bench_receive.py
# writes. usage: gnuplot -e "data='build/bench'; output='docs/performance.png'" bench/performance.gp
if (!exists("data")) data = "build/bench"
if (!exists("output")) output = "docs/performance.png"

set terminal pngcairo size 1200,860 font "DejaVu Sans,10"
set output output
set datafile separator "\t"
set datafile missing "-"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set key outside bottom center horizontal maxrows 1 font ",9"
set grid ytics
set xtics nomirror scale 0
set linetype 1 lc rgb "#c0392b"
set linetype 2 lc rgb "#2471a3"
set linetype 3 lc rgb "#229954"
set linetype 4 lc rgb "#b3b6b7"

set multiplot layout 2,2 title "Receive: comterm against picocom and tio (what a terminal shows; missing bar: not measured)"

set title "Throughput shown, MB/s (higher is better; log scale; grey: the harness's limit)"
set logscale y
set yrange [0.05:*]
plot for [col=2:6] data."/throughput.tsv" using col:xtic(1) title columnheader(col)

set title "CPU seconds per MB received (lower is better; log scale)"
set yrange [0.005:*]
plot for [col=2:5] data."/cpu.tsv" using col:xtic(1) title columnheader(col)

set title "First-byte latency after 200 ms of silence, ms (lower is better)"
unset logscale y
set yrange [0:*]
plot for [col=2:5] data."/latency.tsv" using col:xtic(1) title columnheader(col)

set title "Idle, port open, nothing received (lower is better)"
plot for [col=2:5] data."/idle.tsv" using col:xtic(1) title columnheader(col)

unset multiplot
