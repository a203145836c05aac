# The two commands of the README's Quick start; everything else is CMake's.
.PHONY: demo test

# CMake's own makefiles run make within make: say nothing of the directories.
MAKEFLAGS += --no-print-directory

test:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build -j2
	tests/corre build

demo:
	cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF --log-level=WARNING
	cmake --build build-release -j2
	./demo build-release
