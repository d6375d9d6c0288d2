# The project's commands; each first runs scripts/setup.sh, which installs what is missing and builds.
.PHONY: setup demo test

setup:
	@scripts/setup.sh

demo: setup
	@PYTHONPATH=python .venv/bin/python -m tarnel_rl.demo $(DEMO_ARGS)

test: setup
	@scripts/test.sh
