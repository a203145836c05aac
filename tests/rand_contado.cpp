// Preloaded into a run to count its calls of rand(), each passed on to the C
// library's; at exit the count is written to the file RAND_CONTAGEM names.
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>

static unsigned long chamadas;

extern "C" int rand()
{
    static int (*da_biblioteca)() = nullptr;
    if (da_biblioteca == nullptr)
        da_biblioteca = reinterpret_cast<int (*)()>(dlsym(RTLD_NEXT, "rand"));
    ++chamadas;
    return da_biblioteca();
}

__attribute__((destructor)) static void relata()
{
    if (const char *ficheiro = getenv("RAND_CONTAGEM"))
        if (FILE *f = fopen(ficheiro, "w")) {
            fprintf(f, "%lu\n", chamadas);
            fclose(f);
        }
}
