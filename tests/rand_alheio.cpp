// Preloaded into a run to stand for a C library whose rand() is not this
// platform's: the example generator of the C standard.
static unsigned long proximo = 1;

extern "C" void srand(unsigned semente)
{
    proximo = semente;
}

extern "C" int rand()
{
    proximo = proximo * 1103515245 + 12345;
    return static_cast<int>(proximo / 65536 % 32768);
}
