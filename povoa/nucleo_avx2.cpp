// The kernels in AVX2's 32-byte vectors; this file alone is compiled with
// -mavx2, and runs only where the processor has AVX2 (nucleo_despacho.cpp).
#define LARGURA 32
#include "povoa/nucleo.h"

extern const nucleo nucleo_avx2 = {avanca_faixas, monta_registos};
