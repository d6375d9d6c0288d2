# The project's commands; each first runs scripts/setup.sh, which installs what is missing and builds.
.PHONY: setup demo test wheel bench bench-stalls bench-programs bench-trainers

# The benchmark's native programs (its peer and the C++-only floor) are built in their own tree, with
# TARNEL_BUILD_BENCH on, so the normal build never compiles them. BENCH_ARGS go to bench/run.py
# (for example BENCH_ARGS=--quick for a one-minute smoke run).
BENCH_BUILD ?= build/bench
BENCH_PYTHON ?= $(or $(TARNEL_VENV),.venv)/bin/python

setup:
	@scripts/setup.sh

# The demo needs the module only: it may come from the machine's wheel cache, built by another clone.
demo:
	@TARNEL_SETUP_WHEEL_CACHE=1 scripts/setup.sh
	@PYTHONPATH=python .venv/bin/python -m tarnel_rl.demo $(DEMO_ARGS)

test: setup
	@scripts/test.sh

# One abi3 wheel for CPython 3.11 and later, manylinux-tagged, checked, in dist/ (scripts/wheel.sh).
wheel: setup
	@scripts/wheel.sh

bench-programs: setup
	@TARNEL_SETUP_EXTRA=bench TARNEL_SETUP_PACKAGES_ONLY=1 scripts/setup.sh
	@mkdir -p $(dir $(BENCH_BUILD)) && $(BENCH_PYTHON) scripts/requirements.py bench > $(BENCH_BUILD)-requirements.txt
	@$(BENCH_PYTHON) -m pip install -q -r $(BENCH_BUILD)-requirements.txt
	@cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNEL_BUILD_BENCH=ON \
		-DTARNEL_BUILD_MODULE=OFF -DTARNEL_BUILD_TESTS=OFF > /dev/null
	@cmake --build $(BENCH_BUILD) -j2 --target tarnel_bench_peer tarnel_bench_floor

bench: bench-programs
	@$(BENCH_PYTHON) bench/run.py --build-dir $(BENCH_BUILD) $(BENCH_ARGS)
	@$(BENCH_PYTHON) bench/trainer_table.py $(TRAINER_ARGS)

# Env-steps/s of one environment and of the vector environment, beside gym-trading-env and
# gym-anytrading on the same candles (bench/trainer_table.py; TRAINER_ARGS=--quick for a short run).
# The peers come from the `bench` extra, installed here only.
bench-trainers: setup
	@mkdir -p $(dir $(BENCH_BUILD)) && $(BENCH_PYTHON) scripts/requirements.py bench > $(BENCH_BUILD)-requirements.txt
	@$(BENCH_PYTHON) -m pip install -q -r $(BENCH_BUILD)-requirements.txt
	@$(BENCH_PYTHON) bench/trainer_table.py $(TRAINER_ARGS)

# Calls and trainer steps over 100 ms, against the native peer and the Node.js page, with CPU-bound
# processes beside them (bench/stalls.py; STALL_ARGS=--seconds 300 for about five million calls a page).
bench-stalls: bench-programs
	@$(BENCH_PYTHON) bench/stalls.py --build-dir $(BENCH_BUILD) $(STALL_ARGS)
