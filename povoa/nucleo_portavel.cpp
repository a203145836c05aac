// The kernels with the compiler's default vectors: SSE2 on x86-64, Advanced
// SIMD on arm64, 16-byte vectors made of plain instructions elsewhere.
#define LARGURA 16
#include "povoa/nucleo.h"

extern const nucleo nucleo_portavel = {avanca_faixas, monta_registos};
