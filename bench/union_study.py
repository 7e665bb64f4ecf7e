#!/usr/bin/env python3
"""The union of two dense sketches three ways, relative RMSE and mean error
over independent trials (simulated registers of an ideal hash, p = 12): the
joint estimate that vantorelle.union and the command's --union give, and the
merged sketch's result(), improved and ml estimates it replaced. The table in
docs/accuracy.md ("One union estimate") comes from one run of this script:

    .venv/bin/python bench/union_study.py
"""
import sys, numpy as np
sys.path.insert(0, __import__('os').path.dirname(__file__))
from estimator_study import simulated_registers
from vantorelle import _native
import vantorelle
p=12; trials=400
print("| n = abs(A) = abs(B) | overlap | " + " | ".join(("joint (union)", "merged ml", "merged result()", "merged improved")) + " |")
print("|---:|---:|---:|---:|---:|---:|")
for n, overlap in ((3000,0.5),(30000,0.1),(30000,0.5),(30000,0.9),(300000,0.5),(30000,0.01)):
    both=int(n*overlap); truth=2*n-both
    rng=np.random.default_rng((n,int(overlap*1000)))
    err={"joint":[], "merged ml":[], "merged default":[], "merged improved":[]}
    for _ in range(trials):
        oa=simulated_registers(rng,n-both,p); ob=simulated_registers(rng,n-both,p); sh=simulated_registers(rng,both,p)
        a=_native.sketch_from_registers(np.maximum(oa,sh).tobytes(),p,p+5)
        b=_native.sketch_from_registers(np.maximum(ob,sh).tobytes(),p,p+5)
        u=_native.sketch_from_registers(np.maximum(np.maximum(oa,ob),sh).tobytes(),p,p+5)
        err["joint"].append(vantorelle.union(a, b)/truth-1)
        err["merged ml"].append(_native.estimate(u,2)/truth-1)
        err["merged improved"].append(_native.estimate(u,1)/truth-1)
        err["merged default"].append(_native.estimate(u,0)/truth-1)
    cells = " | ".join(f"{np.sqrt(np.mean(np.square(v))) * 100:.3f} / {np.mean(v) * 100:+.3f}" for v in err.values())
    print(f"| {n:,} | {overlap:.0%} | {cells} |", flush=True)
