// The switches of the builds that the tests run, all of them here. They are
// compiled into those builds only (tests/CMakeLists.txt), never into the
// installed programs, which read none of these variables:
//
// - FARMACIA_PARA_TESTES (procura_teste, alterna_teste): the semaphore keys
//   come from FARMACIA_CHAVE_PROCURA and FARMACIA_CHAVE_ALTERNA when they
//   are set, so that each test uses sets of its own, never the machine's.
// - POVOA_PARA_TESTES (povoa_teste, povoa_rand, povoa_longo): the seed comes
//   from POVOA_SEMENTE when it is set, and POVOA_SEM_AVX2 makes the
//   portable kernel run on a processor with AVX2 too.
// - POVOA_SEM_ATALHO (povoa_rand): every draw comes from rand() itself, as
//   on a C library whose rand() povoa does not know.
#pragma once

#include <cstdlib>

#ifdef FARMACIA_PARA_TESTES
constexpr bool chaves_do_teste = true;
#else
constexpr bool chaves_do_teste = false;
#endif
#ifdef POVOA_PARA_TESTES
constexpr bool povoa_do_teste = true;
#else
constexpr bool povoa_do_teste = false;
#endif
#ifdef POVOA_SEM_ATALHO
constexpr bool sorteios_so_de_rand = true;
#else
constexpr bool sorteios_so_de_rand = false;
#endif

// The test's variable `nome` in a build with the switch `ligado`, or null;
// elsewhere always null, and the environment is not read.
template <bool ligado>
inline const char *do_teste([[maybe_unused]] const char *nome)
{
    if constexpr (ligado)
        return std::getenv(nome);
    else
        return nullptr;
}
