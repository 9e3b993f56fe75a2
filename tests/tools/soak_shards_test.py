#!/usr/bin/env python3
"""The soak's shards under GNU parallel (scripts/soak) and the merged report: every seed ran once,
the shards' counters add up to the merged ones, nothing failed, nothing was lost, nothing leaked.
Then `tarnwire fundamentals` with a planted failure: it exits 1 and prints the replay command.

usage: soak_shards_test.py SCRIPTS_SOAK TARNWIRE"""
import json
import subprocess
import sys
import tempfile

soak, tarnwire = sys.argv[1], sys.argv[2]
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)


with tempfile.TemporaryDirectory() as out:
    seeds = 24
    run = subprocess.run([soak, "--shards", "2", "--out", out, "--tarnwire", tarnwire, "--",
                          "--seeds", str(seeds), "--seed-seconds", "20", "--cycles", "1"],
                         capture_output=True, text=True, timeout=600)
    check(run.returncode == 0, f"scripts/soak exited {run.returncode}:\n{run.stdout}\n{run.stderr}")
    shards = [json.load(open(f"{out}/shard-{i}.json")) for i in range(2)]
    merged = json.load(open(f"{out}/merged.json"))
    check(merged["shards"] == ["0/2", "1/2"], f"merged shards {merged['shards']}")
    check(merged["seeds"] == seeds and merged["passed"] == seeds and merged["failures"] == [],
          f"merged: {merged['seeds']} seeds, {merged['passed']} passed, failures {merged['failures']}")
    check([s["seeds"] for s in shards] == [seeds // 2, seeds // 2], "the shards did not split the seeds evenly")
    for key in ["requests", "bytes_moved", "bytes_verified", "pnp_cycles", "power_cycles", "virtual_ns"]:
        check(merged[key] == sum(s[key] for s in shards), f"{key}: merged {merged[key]} is not the shards' sum")
        check(merged[key] > 0, f"{key} is zero: the mix did not exercise it")
    for key in ["bug_checks", "leaks", "bytes_lost"]:
        check(merged[key] == 0, f"{key}: {merged[key]}")
    check(merged["virtual_ns"] >= seeds * 20e9, "the runs were not padded to their virtual duration")
    text = open(f"{out}/merged.txt").read()
    check("Result          every run passed" in text and "Seeds           24 runs" in text, f"merged text:\n{text}")

planted = subprocess.run([tarnwire, "fundamentals", "--scenario", "cancel-stop", "--seed", "3", "--inject",
                          "lost-bytes"], capture_output=True, text=True, timeout=120)
check(planted.returncode == 1, f"a run with lost bytes exited {planted.returncode}")
check("FAIL cancel-stop" in planted.stdout and
      "replay: tarnwire fundamentals --scenario cancel-stop --seed 3 --cycles 3 --inject lost-bytes" in planted.stdout,
      f"the failed run and its replay are not reported:\n{planted.stdout}")
bad = subprocess.run([tarnwire, "fundamentals", "--scenario", "nonesuch"], capture_output=True, text=True)
check(bad.returncode == 2 and "no scenario 'nonesuch'" in bad.stderr, f"unknown scenario: {bad.returncode} {bad.stderr}")

for f in failures:
    print("FAILED:", f)
sys.exit(1 if failures else 0)
