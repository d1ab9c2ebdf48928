# Two commands for a newcomer: `make demo` (the main job) and `make test`.
# Each creates the virtual environment it needs and installs the package into it.

SHELL := /bin/bash
PY313 = $(shell scripts/find-python.sh)
PIP_FLAGS ?= --quiet --disable-pip-version-check
DEMO_ARGS ?=

.PHONY: demo test asan clean

.venv/.installed: pyproject.toml CMakeLists.txt $(shell find src python -type f -not -name '*.so' -not -path '*/__pycache__/*')
	@py="$(PY313)"; test -n "$$py" || exit 1; \
	test -x .venv/bin/python || "$$py" -m venv .venv
	.venv/bin/python -m pip install $(PIP_FLAGS) --upgrade pip
	.venv/bin/python -m pip install $(PIP_FLAGS) -C cmake.define.KORVANE_WERROR=ON ".[demo,test]"
	touch $@

## demo: build, install and run the demo of the three roads on a built-in sample image (PNGs in out/)
demo: .venv/.installed
	.venv/bin/python -m korvane demo $(DEMO_ARGS)

## test: build, install and run the whole test suite, check the type stubs, then run the
## suite again against the sanitizer build
test: .venv/.installed
	.venv/bin/python -m pytest -q
	.venv/bin/python scripts/stubtest.py
	.venv/bin/python -m mypy --strict examples/typed_usage.py
	$(MAKE) --no-print-directory asan

## asan: the suite against a build with AddressSanitizer and UBSan
asan:
	@py="$(PY313)"; test -n "$$py" || exit 1; \
	test -x .venv-asan/bin/python || "$$py" -m venv .venv-asan
	.venv-asan/bin/python -m pip install $(PIP_FLAGS) --upgrade pip
	.venv-asan/bin/python -m pip install $(PIP_FLAGS) "numpy>=2" pytest hypothesis
	.venv-asan/bin/python -m pip install $(PIP_FLAGS) --force-reinstall --no-deps \
	  -C cmake.define.KORVANE_SANITIZE=ON -C cmake.define.KORVANE_WERROR=ON -C cmake.build-type=Debug \
	  -C build-dir=build/asan .
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so):$$(gcc -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONMALLOC=malloc \
	  .venv-asan/bin/python -m pytest -q -p no:cacheprovider

clean:
	rm -rf .venv .venv-asan build
