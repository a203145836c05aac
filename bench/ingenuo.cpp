// The straightforward generator that povoa is measured against: the same
// records, one 28-byte stdio write each, every number from rand().
//   ingenuo <records> [seed]     appends to BD.bin; the seed defaults to the time
#include "common/medicamento.h"

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
        medicamento r{};
        for (int k = 0; k < 11; ++k)
            r.nome[k] = static_cast<char>(static_cast<int>(static_cast<double>(rand()) / 2147483648.0 * 26.0) + 97);
        r.stock = ordem_do_ficheiro(100);
        r.vendas = ordem_do_ficheiro(rand() % 200);
        r.estado = ordem_do_ficheiro(1);
        std::fwrite(&r, sizeof r, 1, f);
    }
    return std::fclose(f) == 0 ? 0 : 1;
}
