# Two commands for a newcomer: `make demo` (the main job) and `make test`.
# Each creates the virtual environment it needs and installs the package into it.

SHELL := /bin/bash
PY313 = $(shell scripts/find-python.sh)
PIP_FLAGS ?= --quiet --disable-pip-version-check
DEMO_ARGS ?=
# C++ sources that clang-format checks.
CXX_SOURCES = $(shell find src benchmarks -name '*.cpp' -o -name '*.hpp' -o -name '*.c')

.PHONY: demo test asan lint docs clean

# The package with its demo extra, and the test and typing tools (dependency groups, which
# pip reads from pyproject.toml since 25.1: hence the pip upgrade first).
.venv/.installed: pyproject.toml CMakeLists.txt $(shell find src python -type f -not -name '*.so' -not -path '*/__pycache__/*')
	@py="$(PY313)"; test -n "$$py" || exit 1; \
	test -x .venv/bin/python || "$$py" -m venv .venv
	.venv/bin/python -m pip install $(PIP_FLAGS) --upgrade "pip>=25.1"
	.venv/bin/python -m pip install $(PIP_FLAGS) -C cmake.define.KORVANE_WERROR=ON ".[demo]" --group test --group typing --group docs
	touch $@

## demo: build, install and run the demo of the three roads on a built-in sample image (PNGs in out/)
demo: .venv/.installed
	.venv/bin/python -m korvane demo $(DEMO_ARGS)

## test: build, install and run the whole test suite on the NumPy backend and again on the
## strict one (arrays that refuse implicit host conversion, as CuPy's do), check the type
## stubs and the code's format and lint, then run the suite against the sanitizer build
test: .venv/.installed
	.venv/bin/python -m pytest -q
	KORVANE_BACKEND=numpy-strict .venv/bin/python -m pytest -q
	.venv/bin/python scripts/stubtest.py
	.venv/bin/python -m mypy --strict examples/typed_usage.py
	$(MAKE) --no-print-directory lint
	$(MAKE) --no-print-directory asan

## asan: the suite against a build with AddressSanitizer and UBSan
asan:
	@py="$(PY313)"; test -n "$$py" || exit 1; \
	test -x .venv-asan/bin/python || "$$py" -m venv .venv-asan
	.venv-asan/bin/python -m pip install $(PIP_FLAGS) --upgrade "pip>=25.1"
	.venv-asan/bin/python -m pip install $(PIP_FLAGS) "numpy>=2" --group test-core
	.venv-asan/bin/python -m pip install $(PIP_FLAGS) --force-reinstall --no-deps \
	  -C cmake.define.KORVANE_SANITIZE=ON -C cmake.define.KORVANE_WERROR=ON -C cmake.build-type=Debug \
	  -C build-dir=build/asan .
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so):$$(gcc -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONMALLOC=malloc \
	  .venv-asan/bin/python -m pytest -q -p no:cacheprovider

## lint: ruff (lint and format) on the Python, clang-format on the C++; checks only, changes nothing
## (the same tools and versions as .pre-commit-config.yaml; `pre-commit run --all-files` fixes)
lint: .venv-lint/.installed
	.venv-lint/bin/ruff check .
	.venv-lint/bin/ruff format --check .
	.venv-lint/bin/clang-format --dry-run -Werror $(CXX_SOURCES)

.venv-lint/.installed: pyproject.toml
	@py="$(PY313)"; test -n "$$py" || exit 1; \
	test -x .venv-lint/bin/python || "$$py" -m venv .venv-lint
	.venv-lint/bin/python -m pip install $(PIP_FLAGS) --upgrade "pip>=25.1"
	.venv-lint/bin/python -m pip install $(PIP_FLAGS) --group lint
	touch $@

## docs: build the documentation site into docs/_build/html (warnings are errors)
docs: .venv/.installed
	.venv/bin/python -m sphinx -W --keep-going -b html docs docs/_build/html

clean:
	rm -rf .venv .venv-asan .venv-lint build dist docs/_build
