# Drawn by tidewell_bench (bench/run); `gnuplot -c` on this file [FILE.png] draws it again.
set terminal pngcairo size 1400,1100 font 'DejaVu Sans,11'
set output ARGC > 0 ? ARG1 : '2026-12-08-vm-paths.png'
$path0 << EOD
0 0.080585 0
0 -0.027464 1
0 -0.035676 2
0 0.018438 3
0 0.069991 4
0 -0.030024 5
0 0.081663 6
0 -0.063744 7
1 -1.008375 0
1 -0.379498 1
1 -0.620869 2
1 -0.613706 3
1 -0.514810 4
1 -0.374058 5
1 -0.413495 6
1 -0.339606 7
2 -23.743086 0
2 -41.838381 1
2 -20.059569 2
2 -745.212790 3
2 -52.095213 4
2 -39.975123 5
2 -20.636655 6
2 -392.459014 7
3 -30.817000 0
3 10.381000 1
3 33.497000 2
3 -45.649000 3
3 -51.656000 4
3 44.934000 5
3 -61.149000 6
3 -46.542000 7
4 0.183000 0
4 -5.619000 1
4 2.497000 2
4 1.351000 3
4 -4.656000 4
4 -2.066000 5
4 0.851000 6
4 0.458000 7
EOD
$path1 << EOD
0 -0.046013 0
0 -0.140635 1
0 -0.010544 2
0 0.005377 3
0 -0.023571 4
0 -0.003366 5
0 -0.032114 6
0 -0.021689 7
1 -10.432727 0
1 -11.300060 1
1 -10.450846 2
1 -10.866713 3
1 -13.510872 4
1 -10.447639 5
1 -10.427241 6
1 -10.450159 7
2 -64.330119 0
2 -65.151622 1
2 -56.025654 2
2 -57.734887 3
2 -78.773618 4
2 -51.186710 5
2 -72.490659 6
2 -609.956832 7
3 11.008000 0
3 -26.566000 1
3 -26.487000 2
3 -22.355000 3
3 25.588000 4
3 12.865000 5
3 23.967000 6
3 9.360000 7
4 11.008000 0
4 4.434000 1
4 4.513000 2
4 8.645000 3
4 9.588000 4
4 12.865000 5
4 7.967000 6
4 9.360000 7
EOD
$path2 << EOD
0 0.067432 0
0 -0.045054 1
0 -0.038078 2
0 0.005891 3
0 -0.056043 4
0 -0.107712 5
0 -0.141762 6
0 -0.060759 7
1 -25.399004 0
1 -26.837076 1
1 -25.481485 2
1 -25.384314 3
1 -25.546835 4
1 -25.376500 5
1 -25.423045 6
1 -25.388147 7
2 -123.630437 0
2 -129.696596 1
2 -109.863332 2
2 -175.952495 3
2 -116.004275 4
2 -100.758681 5
2 -110.096609 6
2 -280.857899 7
3 7.470000 0
3 48.814000 1
3 50.248000 2
3 -19.450000 3
3 42.733000 4
3 24.965000 5
3 -1.764000 6
3 85.874000 7
4 23.470000 0
4 17.814000 1
4 19.248000 2
4 27.550000 3
4 26.733000 4
4 24.965000 5
4 29.236000 6
4 23.874000 7
EOD
$path3 << EOD
0 -4.702771 0
0 -7.505996 1
0 -9.336053 2
0 -7.451230 3
0 -7.508511 4
0 -7.525410 5
0 -6.200221 6
0 -7.548879 7
1 -20.397971 0
1 -26.541661 1
1 -20.394554 2
1 -20.367067 3
1 -20.387106 4
1 -20.389600 5
1 -20.381930 6
1 -20.436363 7
2 -82.252424 0
2 -99.742442 1
2 -113.374957 2
2 -253.287344 3
2 -105.562953 4
2 -79.958925 5
2 -85.276953 6
2 -282.921638 7
3 12.327000 0
3 -15.803000 1
3 -12.862000 2
3 -41.122000 3
3 -13.100000 4
3 -36.267000 5
3 -29.907000 6
3 28.493000 7
4 12.327000 0
4 0.197000 1
4 3.138000 2
4 5.878000 3
4 2.900000 4
4 10.733000 5
4 1.093000 6
4 12.493000 7
EOD
floor = 0.001
size(ms) = abs(ms) < floor ? floor : abs(ms)
set multiplot layout 2,2 title "Clock error over delayed paths, fenwhit against htpdate: 8 runs per box (lower is better), 2026-12-08, load average 0.43 to 2.96" font ',13'
set logscale y
set yrange [0.001:2000]
set format y '%g'
set ylabel 'absolute error (ms, log scale)'
set grid ytics
set key off
set style fill solid 0.6 border lc rgb '#404040'
set style boxplot nooutliers
set boxwidth 0.55
set bmargin 5
set title "path 0/0 ms (request/reply delay)"
set xrange [-0.6:4.6]
set xtics ("fenwhit\nat once\n+ figures" 0, "fenwhit\naligned\nno figures" 1, "fenwhit\nimmediate\nno figures" 2, "htpdate -p 4\nestimate" 3, "htpdate -p 7\nestimate" 4) nomirror
colours = "#1f5fa8 #5b9bd5 #a9c8ea #d9531e #f0a04b"
plot for [s=0:4] $path0 using (s):($1 == s ? size($2) : 1/0) with boxplot lc rgb word(colours, s + 1), \
     $path0 using ($1 + ($3 - 3.5) * 0.0375):(size($2)) with points pt 7 ps 0.7 lc rgb '#202020'
set title "path 10/10 ms (request/reply delay)"
set xrange [-0.6:4.6]
set xtics ("fenwhit\nat once\n+ figures" 0, "fenwhit\naligned\nno figures" 1, "fenwhit\nimmediate\nno figures" 2, "htpdate -p 4\nestimate" 3, "htpdate -p 7\nestimate" 4) nomirror
colours = "#1f5fa8 #5b9bd5 #a9c8ea #d9531e #f0a04b"
plot for [s=0:4] $path1 using (s):($1 == s ? size($2) : 1/0) with boxplot lc rgb word(colours, s + 1), \
     $path1 using ($1 + ($3 - 3.5) * 0.0375):(size($2)) with points pt 7 ps 0.7 lc rgb '#202020'
set title "path 25/25 ms (request/reply delay)"
set xrange [-0.6:4.6]
set xtics ("fenwhit\nat once\n+ figures" 0, "fenwhit\naligned\nno figures" 1, "fenwhit\nimmediate\nno figures" 2, "htpdate -p 4\nestimate" 3, "htpdate -p 7\nestimate" 4) nomirror
colours = "#1f5fa8 #5b9bd5 #a9c8ea #d9531e #f0a04b"
plot for [s=0:4] $path2 using (s):($1 == s ? size($2) : 1/0) with boxplot lc rgb word(colours, s + 1), \
     $path2 using ($1 + ($3 - 3.5) * 0.0375):(size($2)) with points pt 7 ps 0.7 lc rgb '#202020'
set title "path 5/20 ms (request/reply delay)"
set xrange [-0.6:4.6]
set xtics ("fenwhit\nat once\n+ figures" 0, "fenwhit\naligned\nno figures" 1, "fenwhit\nimmediate\nno figures" 2, "htpdate -p 4\nestimate" 3, "htpdate -p 7\nestimate" 4) nomirror
colours = "#1f5fa8 #5b9bd5 #a9c8ea #d9531e #f0a04b"
plot for [s=0:4] $path3 using (s):($1 == s ? size($2) : 1/0) with boxplot lc rgb word(colours, s + 1), \
     $path3 using ($1 + ($3 - 3.5) * 0.0375):(size($2)) with points pt 7 ps 0.7 lc rgb '#202020'
unset multiplot
