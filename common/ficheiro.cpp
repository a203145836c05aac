#include "common/ficheiro.h"

#include "common/medicamento.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int fora_das_normais(int fd)
{
    if (fd > STDERR_FILENO)
        return fd;
    const int outro = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int erro = errno;
    close(fd);
    errno = erro;
    return outro;
}

// Opens BD.bin with O_NONBLOCK, so that a FIFO or a device never blocks
// the program. On a regular file that another process holds a lease on (a
// file server's oplock or delegation, any F_SETLEASE), that flag makes the
// open fail with EWOULDBLOCK instead of waiting for the lease to be broken.
// Such an open has already asked the holder to give its lease up, and the
// kernel takes it away by itself after /proc/sys/fs/lease-break-time; so
// while the name is still a regular file the open is tried again, a little
// later each time, until the lease is gone, as a blocking open would wait.
static int abre_sem_bloquear(int modo)
{
    timespec pausa = {0, 1'000'000};
    for (;;) {
        const int fd = open(nome_ficheiro, modo | O_NONBLOCK | O_CLOEXEC, 0666);
        if (fd != -1 || errno != EWOULDBLOCK)
            return fd;
        struct stat st;
        if (stat(nome_ficheiro, &st) == -1 || !S_ISREG(st.st_mode)) {
            errno = EWOULDBLOCK;
            return -1;
        }
        nanosleep(&pausa, nullptr);  // an interrupted pause only tries sooner
        pausa.tv_nsec = std::min(2 * pausa.tv_nsec, 50'000'000L);
    }
}

int abre_ficheiro(int modo, const char *rotulo)
{
    int fd = abre_sem_bloquear(modo);
    if (fd != -1)
        fd = fora_das_normais(fd);
    if (fd == -1) {
        reporta(rotulo, errno);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) == -1) {
        const int erro = errno;
        close(fd);
        reporta(nome_ficheiro, erro);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        reporta_texto(nome_ficheiro, "not a regular file");
        return -1;
    }
    // A regular file is then used as any reader or writer uses it.
    if (const int estado = fcntl(fd, F_GETFL); estado == -1 || fcntl(fd, F_SETFL, estado & ~O_NONBLOCK) == -1) {
        const int erro = errno;
        close(fd);
        reporta(nome_ficheiro, erro);
        return -1;
    }
    return fd;
}

bool escreve_tudo(int fd, const char *bytes, size_t n, int64_t onde, int64_t &escritos)
{
    for (size_t feitos = 0; feitos < n;) {
        const ssize_t r = onde == -1 ? write(fd, bytes + feitos, n - feitos)
                                     : pwrite(fd, bytes + feitos, n - feitos, onde + static_cast<int64_t>(feitos));
        if (r == -1 && errno == EINTR)
            continue;
        if (r <= 0) {
            if (r == 0)
                errno = EIO;
            return false;
        }
        feitos += static_cast<size_t>(r);
        escritos += r;
    }
    return true;
}

// One line, written with one write, so that it is not interleaved with
// another process's lines on a shared standard error.
static void escreve_relato(const char *objeto, const char *formato, va_list argumentos)
{
    char linha[1024];  // a longer line is cut, still ending in its newline
    std::snprintf(linha, sizeof linha - 1, "%s: ", objeto);
    size_t n = std::strlen(linha);
    std::vsnprintf(linha + n, sizeof linha - 1 - n, formato, argumentos);
    n = std::strlen(linha);
    linha[n] = '\n';
    std::fwrite(linha, 1, n + 1, stderr);
}

void reporta_texto(const char *objeto, const char *formato, ...)
{
    va_list argumentos;
    va_start(argumentos, formato);
    escreve_relato(objeto, formato, argumentos);
    va_end(argumentos);
}

void reporta(const char *objeto, int erro, const char *depois)
{
    reporta_texto(objeto, "%s%s", std::strerror(erro), depois);
}

bool fecha_saida()
{
    if (std::ferror(stdout) || std::fclose(stdout) != 0) {
        reporta("stdout", errno);
        return false;
    }
    return true;
}

std::string_view copia_nome(char *buffer, size_t tamanho, const char *argumento)
{
    const size_t n = strnlen(argumento, tamanho);
    std::memcpy(buffer, argumento, n);
    if (n < tamanho)
        buffer[n] = '\0';
    return {buffer, n};
}
