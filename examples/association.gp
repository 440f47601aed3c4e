# The association rate constants of the example against the ionic strength,
# with their 90% error bars, beside the rate without electrostatic force.
set terminal pngcairo size 640,420 font "sans,10"
set output "association.png"
set title "Barstar-barnase association by Brownian dynamics"
set xlabel "ionic strength (mM)"
set ylabel "k_{on} (10^9 M^{-1} s^{-1})"
set xrange [0:340]
set yrange [0:*]
set key bottom left
plot "association.dat" index 0 using 1:($2/1e9):($3/1e9) with yerrorlines lw 2 pt 7 title "electrostatic force on", \
     "association.dat" index 1 using 1:($2/1e9) with lines dt 2 lw 2 title "force off", \
     "association.dat" index 1 using 1:($2/1e9):($3/1e9) with yerrorbars pt 6 notitle
