# The AuthorizeService latency of each agent, from pairgate-bench's latency.dat:
# how many calls took longer than a given time, one line per agent.
# usage: gnuplot -e "data='latency.dat'; output='latency.png'" bench/latency.gp
stats data using 1 nooutput
set terminal pngcairo size 900,560 font 'sans,10'
set output output
set title 'AuthorizeService round trip through the bus'
set xlabel 'latency (µs)'
set ylabel 'share of calls that took longer'
set logscale xy
set format y '10^{%L}'
set yrange [*:1.2]
set grid xtics ytics mxtics
set key top right
plot for [i = 0:STATS_blocks - 1] data index i using 1:2 with lines linewidth 2 \
    title columnheader(1)
