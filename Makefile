# The project's commands; each first runs scripts/setup.sh, which installs what is missing and builds.
.PHONY: setup demo test

setup:
	@scripts/setup.sh

demo: setup
	@.venv/bin/python examples/codec_roundtrip.py

test: setup
	@scripts/test.sh
