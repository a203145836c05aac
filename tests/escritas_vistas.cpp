// Preloaded into a run of povoa to see its writes to BD.bin: each one that
// succeeds is logged to the file ESCRITAS_DIARIO names as "OFFSET BYTES", the
// offset being where the file ended before it (povoa appends). With
// ESCRITAS_DEPOIS="K SIGNAL" the run raises SIGNAL right after its K-th
// write to BD.bin: a stop, to look at the file between two writes, or a
// terminal signal, which povoa acts on before its next write.
// Preloaded into a run of alterna, with ESCRITAS_ANTES="K SIGNAL" the run
// raises SIGNAL right before its K-th pwrite to BD.bin: a stop holds its
// write-back back while another run tries the same record.
// With ABERTURAS_FALHAM=ERRNO every open of the file BD.bin names, by
// whatever path (O_PATH aside, which opens nothing), fails with ERRNO, as
// on a file system whose open says so (FUSE).
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using escrita = ssize_t (*)(int, const void *, size_t);

static escrita da_biblioteca()
{
    static escrita original = nullptr;
    if (original == nullptr)
        original = reinterpret_cast<escrita>(dlsym(RTLD_NEXT, "write"));
    return original;
}

static bool e_a_base(int fd)
{
    char ligacao[64], destino[4096];
    std::snprintf(ligacao, sizeof ligacao, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(ligacao, destino, sizeof destino - 1);
    if (n < 7)
        return false;
    destino[n] = '\0';
    return std::strcmp(destino + n - 7, "/BD.bin") == 0;
}

extern "C" ssize_t write(int fd, const void *bytes, size_t n)
{
    if (!e_a_base(fd))
        return da_biblioteca()(fd, bytes, n);
    static unsigned long vistas;
    const off_t onde = lseek(fd, 0, SEEK_END);
    const ssize_t r = da_biblioteca()(fd, bytes, n);
    const int erro = errno;
    if (r > 0) {
        if (const char *diario = getenv("ESCRITAS_DIARIO")) {
            char linha[64];
            const int tamanho = std::snprintf(linha, sizeof linha, "%lld %zd\n", static_cast<long long>(onde), r);
            const int d = open(diario, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
            if (d == -1 || da_biblioteca()(d, linha, static_cast<size_t>(tamanho)) != tamanho)
                abort();
            close(d);
        }
        unsigned long k;
        int sinal;
        if (const char *depois = getenv("ESCRITAS_DEPOIS"))
            if (std::sscanf(depois, "%lu %d", &k, &sinal) == 2 && ++vistas == k)
                raise(sinal);
    }
    errno = erro;
    return r;
}

// The programs, built with 64-bit offsets, call pwrite64.
extern "C" ssize_t pwrite64(int fd, const void *bytes, size_t n, off64_t onde)
{
    static unsigned long vistas;
    unsigned long k;
    int sinal;
    if (const char *antes = getenv("ESCRITAS_ANTES"))
        if (e_a_base(fd) && std::sscanf(antes, "%lu %d", &k, &sinal) == 2 && ++vistas == k)
            raise(sinal);
    static const auto original = reinterpret_cast<ssize_t (*)(int, const void *, size_t, off64_t)>(dlsym(RTLD_NEXT, "pwrite64"));
    return original(fd, bytes, n, onde);
}

// Whether an open of `caminho` (from `dir`) with `flags` must fail, with
// errno set when it must.
static bool falha_a_abertura(int dir, const char *caminho, int flags)
{
    const char *erro = getenv("ABERTURAS_FALHAM");
    struct stat alvo, base;
    if (erro == nullptr || (flags & O_PATH) != 0 || fstatat(dir, caminho, &alvo, 0) == -1 ||
        stat("BD.bin", &base) == -1 || alvo.st_dev != base.st_dev || alvo.st_ino != base.st_ino)
        return false;
    errno = std::atoi(erro);
    return true;
}

// The C library's openat64, which takes large files on every processor,
// unless the open must fail. The mode follows the flags when they create a
// file.
static int abre(int dir, const char *caminho, int flags, va_list resto)
{
    const mode_t modo = (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(resto, unsigned)) : 0;
    if (falha_a_abertura(dir, caminho, flags))
        return -1;
    static const auto original = reinterpret_cast<int (*)(int, const char *, int, ...)>(dlsym(RTLD_NEXT, "openat64"));
    return original(dir, caminho, flags, modo);
}

// Each name under which the programs, or the C library for them, may open,
// as a symbol of its own: the headers call open open64 in a build with
// 64-bit offsets.
#define ABERTURA(simbolo, ...)                                                                   \
    extern "C" int abre_##simbolo(__VA_ARGS__ const char *caminho, int flags, ...) __asm__(#simbolo); \
    extern "C" int abre_##simbolo(__VA_ARGS__ const char *caminho, int flags, ...)
#define ABRE(dir)                                    \
    va_list resto;                                   \
    va_start(resto, flags);                          \
    const int fd = abre(dir, caminho, flags, resto); \
    va_end(resto);                                   \
    return fd;
ABERTURA(open) { ABRE(AT_FDCWD) }
ABERTURA(open64) { ABRE(AT_FDCWD) }
ABERTURA(openat, int dir,) { ABRE(dir) }
ABERTURA(openat64, int dir,) { ABRE(dir) }
