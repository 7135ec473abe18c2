#!/bin/sh
# The peer table of bench/peer_results.md: 2 runs at once, the jit-compiled and numpy peers first,
# evotorch (a torch call per step: the slowest here) last. Hours on 2 shared cores.
cd "$(dirname "$0")"
run() { python bench_learning.py --methods "$1" --tasks "$2" --seeds 5 --jobs 2 --results "$RESULTS"; }
RESULTS=${RESULTS:-peer_rows.md}
run sklearn classification,diabetes,friedman
run peers cartpole
run evosax-cma,evosax-snes,evosax-pgpe,evosax-openes,cma acrobot,mountaincar-continuous,mountaincar,pendulum
run evotorch-pgpe acrobot,mountaincar-continuous
run cma lunar,lunar-continuous
run evotorch-pgpe mountaincar,pendulum,lunar,lunar-continuous
run evotorch-pgpe,cma bipedal
