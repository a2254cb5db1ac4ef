# Exchange times of make bench: fixed window and fast mode on the paced line,
# and fast mode on the instant line, side by side:
#   gnuplot -e "csv='exchanges.csv'; png='exchange-times.png'" bench-plot.gp
set datafile separator ","
set terminal pngcairo size 1500,500 font "DejaVu Sans,10"
set output png
set style fill solid 0.6 border -1
set grid ytics
set ylabel "exchanges"
set xlabel "exchange time, ms (successful exchanges)"
bin(x, w) = w * floor(x / w) + w / 2
pick(mode, w) = (strcol(1) eq "library" && strcol(2) eq mode && strcol(3) eq "reply") ? bin($4, w) : NaN
set multiplot layout 1,3 title "Lumo.dll: one exchange with a prompt gauge over a 9600-baud 8N1 line (simulated: characters paced, 5-ms turnaround)"
set title "fixed 200-ms window (default)"
set boxwidth 0.045
plot csv using (pick("fixed", 0.05)):(1.0) smooth frequency with boxes lc rgb "#4477aa" notitle
set title "fast mode (FastReply=1)"
set boxwidth 0.09
plot csv using (pick("fast", 0.1)):(1.0) smooth frequency with boxes lc rgb "#228833" notitle
set title "fast mode, instant line (no wire time)"
set boxwidth 0.045
plot csv using (pick("fast-instant", 0.05)):(1.0) smooth frequency with boxes lc rgb "#aa3377" notitle
unset multiplot
