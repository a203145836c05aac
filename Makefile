# The two commands of the README's Quick start; everything else is CMake's.
.PHONY: demo test

test:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build -j2
	tests/corre build

demo:
	cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
	cmake --build build-release -j2
	./demo build-release
