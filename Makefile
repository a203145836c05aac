# The two commands of the README's Quick start, and the coverage report a
# maintainer may ask for; everything else is CMake's.
.PHONY: demo test coverage

# CMake's own makefiles run make within make: say nothing of the directories.
MAKEFLAGS += --no-print-directory

# WERROR=ON (as CI sets it) makes a compiler warning an error.
WERROR ?= OFF

test:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWERROR=$(WERROR)
	cmake --build build -j2
	tests/corre build

# Line and branch coverage of the programs' code by the whole suite, per
# file (gcovr; on Debian: apt-get install gcovr).
coverage:
	cmake -S . -B build-coverage -DCMAKE_BUILD_TYPE=Debug -DCOBERTURA=ON -DWERROR=$(WERROR)
	cmake --build build-coverage -j2
	find build-coverage -name '*.gcda' -delete
	tests/corre build-coverage
	gcovr -r . --object-directory build-coverage -e tests/ -e bench/ -e build-coverage/
	gcovr -r . --object-directory build-coverage -e tests/ -e bench/ -e build-coverage/ --branches

demo:
	cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DWERROR=$(WERROR) --log-level=WARNING
	cmake --build build-release -j2
	./demo build-release
