#!/bin/sh
# The peer table of bench/peer_results.md, fast tasks first (2 runs at once; hours on 2 cores).
cd "$(dirname "$0")"
run() { python bench_learning.py --methods "$1" --tasks "$2" --seeds 5 --jobs 2 --results "$RESULTS"; }
RESULTS=${RESULTS:-peer_rows.md}
if [ -z "$SKIP_FIRST" ]; then
  run sklearn classification,diabetes,friedman
  run peers cartpole
else
  run evotorch-pgpe,cma cartpole
fi
run peers acrobot,mountaincar-continuous,mountaincar,pendulum
run evotorch-pgpe,cma lunar,lunar-continuous
run evotorch-pgpe,cma bipedal
