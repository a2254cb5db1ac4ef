# The soak run's samples: gnuplot -e "csv='soak.csv'; png='soak.png'" soak-plot.gp
set datafile separator ","
set terminal pngcairo size 1200,800 font "DejaVu Sans,10"
set output png
set key autotitle columnhead top left
set xlabel "minutes"
set grid
set multiplot layout 2,2 title "lumo-soak: two gauges, connection switching, faults, vanishing far ends"
set title "handles"
plot csv using ($1/60):2 with lines lw 2 notitle
set title "private bytes, MB"
plot csv using ($1/60):3 with lines lw 2 notitle
set title "threads"
plot csv using ($1/60):4 with lines lw 2 notitle
set title "requests ended (cumulative)"
plot csv using ($1/60):6 with lines lw 2 title "valid reply", \
     csv using ($1/60):7 with lines lw 2 title "no reply", \
     csv using ($1/60):8 with lines lw 2 title "bad reply", \
     csv using ($1/60):5 with lines lw 2 title "request error"
unset multiplot
