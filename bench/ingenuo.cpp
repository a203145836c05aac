// The straightforward generator that povoa is measured against: the same
// records, one 28-byte stdio write each, every number from rand().
//   ingenuo <records> [seed]     appends to BD.bin; the seed defaults to the time
#include "bench/ingenuo.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

int main(int argc, char *argv[])
{
    if (argc < 2)
        return 2;
    const long registos = std::atol(argv[1]);
    srand(argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10))
                   : static_cast<unsigned>(time(nullptr)));
    FILE *f = std::fopen("BD.bin", "ab+");
    if (!f) {
        std::perror("can't open: ");
        return -1;
    }
    for (long i = 0; i < registos; ++i) {
        const medicamento r = registo_ingenuo();
        std::fwrite(&r, sizeof r, 1, f);
    }
    return std::fclose(f) == 0 ? 0 : 1;
}
